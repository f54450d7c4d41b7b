// quvogen's statement modes: statement files (design/sefile.h) checked
// against a data directory, listed from one, and a verb's empty line.
#pragma once

namespace qg {

// quvogen --template VERB            the verb's line with its fields marked
// quvogen --list DATA-DIR APP [VER]  the application's STMT records as a
//                                    statement file on standard output
// quvogen --check DATA-DIR APP [VER] FILE...
//                                    reads and checks statement files
//                                    against the application's dictionary
// Exit status 0; 1 after errors (on standard error, file:line:column); 2
// for a command line it does not know.
int stmt_main(int argc, char** argv);

}  // namespace qg
