// Where the data files that ship with the programmer (the flash loaders, the
// control information, the recovery boot image) are looked for: the current
// directory first, then the directory of the running program (its real path,
// links resolved), then ../share/tidewrite/ from there, where a package puts
// them (/usr/share/tidewrite/ for /usr/bin/tidewrite).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// NAME in ../share/tidewrite/ relative to the program's directory, the
// directory's parent taken from the real path (no ".." left in the result);
// nullopt when the program's path cannot be read or the result with its
// terminating NUL would not fit in limit bytes.
std::optional<std::string> path_in_share(const char *name, size_t limit);

// The shipped copy of a data file, for when the current directory has none:
// the path beside the program when that file exists, else the one in the
// share directory when that exists, else the path beside the program (so a
// failed read names the place it always named). nullopt when the path beside
// the program cannot be made (see path_beside_program).
std::optional<std::string> shipped_data_file(const char *name, size_t limit);

// The first of the three places that holds NAME (existence only; reading it
// is the caller's), or nullopt when none does.
std::optional<std::string> find_data_file(const char *name, size_t limit);

// For a reason line: "the current directory, DIR/ or SHARE/" naming the
// places that were searched, as far as they can be named.
std::string data_file_places(size_t limit);
