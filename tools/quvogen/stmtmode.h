// quvogen's command line: its help text, and its statement modes
// (statement files, design/sefile.h, checked against a data directory,
// listed from one, and a verb's empty line).
#pragma once

namespace qg {

// The help text (kHelp in stmtmode.cpp): on standard output when asked
// for (0), else on standard error (2).
int usage(bool asked);

// quvogen --template [VERB]          the verb's line with its fields marked;
//                                    the verbs without one
// quvogen --list DATA-DIR APP [VER]  the application's STMT records as a
//                                    statement file on standard output
// quvogen --check DATA-DIR APP [VER] FILE...
//                                    reads statement files against the
//                                    application's dictionary and compiles
//                                    their processes with the engine's
//                                    compiler (nothing is written)
// quvogen --help                     the help text
// Exit status 0; 1 after errors (on standard error, file:line:column); 2
// for a command line it does not know.
int stmt_main(int argc, char** argv);

}  // namespace qg
