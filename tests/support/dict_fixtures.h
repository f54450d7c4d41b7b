// Test fixtures: dictionary and System Administration records built from
// named values (the same encoders as the generator of the system
// applications' data) and written through the file manager by each file's
// catalogue builder, so engine tests need no bootstrap.
//
//   auto p = fx::process(1, "MAIN MENU", "Main menu");
//   fx::write("PROCESS", "APP", "00", {p});
//
// Records start from the record's INITIAL image; a value that does not fit
// its field fails the running test. Files are created when missing (in the
// data directory QUVOPATH names) and get their SYSDIR entry, so the ordinary
// open finds them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fx {

using Rec = std::vector<uint8_t>;
using Values = std::vector<std::pair<std::string, std::string>>;

// A record of `file` ("PROCESS", "USER" ...) with the values set.
Rec rec(const char* file, const Values& values);
// Writes the records into the file (a dictionary file of app and version, or
// a System Administration or runtime file); returns the number written, -1
// after a failure (reported to the test).
int write(const char* file, const char* app, const char* ver, const std::vector<Rec>& recs);
// Adds the SYSDIR entry of a file of the catalogue (app, ver: a dictionary's
// owner); false after a failure.
bool sysdir(const char* file, const char* app, const char* ver);

// Common shapes.
Rec process(int type, std::string_view name, std::string_view title = "");
Rec frame(int type, std::string_view proc, int frame_no, int mode = 1, bool interactive = false);
// The screen of frame 1: an image of rows x cols, its rows (the text's
// trailing blanks dropped: ROW is of variable length), an item showing a
// field at row, col, and a characteristic.
Rec image(int type, std::string_view proc, int image_no, int rows, int cols);
Rec row(int type, std::string_view proc, int image_no, int row_no, std::string_view text);
Rec item(int type, std::string_view proc, int image_no, int row, int col, std::string_view app,
         std::string_view field, const Values& more = {});
Rec chr(int type, std::string_view proc, int image_no, int row, int col, int rows, int cols,
        const Values& more = {});
// Numbered option `option` of image 1 of a menu's frame 1: a child keyed by
// (image, option), the key the frame processor finds an option by.
Rec menu_option(std::string_view menu, int option, int child_type, std::string_view child_app,
                std::string_view child_name, int image_no = 1);
Rec appl(std::string_view app, std::string_view ver, std::string_view title = "");
Rec param(std::string_view menu);
Rec user(std::string_view id, std::string_view name = "");

// The dictionary of a menu application: APPL of System Administration,
// PARAM naming the menu, the menu's PROCESS, FRAME and IMAGE with a row per
// option, and one option per entry of `options` (a Menu child of that
// application, itself a process of one frame).
bool menu_app(const char* app, std::string_view menu, const std::vector<std::string>& options);

}  // namespace fx
