// The registration of an application of one's own: its `application` block
// (in one of its .def texts) gives its title and the database or databases
// it belongs to,
//
//   application
//     title     = My first application
//     databases = MYD
//
// (several databases separated by blanks; `database` is the same entry).
// The generator writes from it the raw
// files of its APPL record and, per database, its DATABASE and DBXAP
// records (dictionary/bs.h, bs_register_path); the bootstrap's add step
// (QUVO_BOOT_AP) writes them into System Administration. The system
// applications are registered by the records of "0SA" instead.
#pragma once

#include <string>

#include "model.h"

namespace qg {

// Reads an `application` block of application `app` into out.
void read_registration(const Block& b, const std::string& app, Registration* out, Errors* errs);
// Writes the registration files of every application that has one under
// out_dir; false with the errors.
bool write_registrations(const Sources& src, const std::string& out_dir, Errors* errs);

}  // namespace qg
