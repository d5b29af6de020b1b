// The files the programmer writes its results into (the page dump, the
// offline image): appended to, and only ever a regular file or a name not yet
// taken. A FIFO would block the run for good, a device or a directory would
// swallow or refuse data that the run then reports as written.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Why `name` cannot take output: empty when it names a regular file (links
// followed) or nothing yet; else a short reason to print after the name and
// a colon ("a FIFO, not a regular file", "Permission denied"). Opens
// nothing, so a device is never touched by the check.
std::string output_file_refusal(const char *name);

// One output file opened for appending. Closed when it goes; take_back()
// returns the file to the length it had before open() (or removes it when
// open() created it), for a writer that must never leave half its data.
class output_file {
 public:
  output_file() = default;
  ~output_file();
  output_file(const output_file &) = delete;
  output_file &operator=(const output_file &) = delete;

  // Opens or creates `name` without blocking; anything but a regular file is
  // refused. false with `why` set on failure.
  bool open(const char *name, std::string &why);
  // All len bytes, or false with `why` set (a short write included).
  bool append(const uint8_t *data, int64_t len, std::string &why);
  // The data on the storage itself, not only in the page cache.
  bool sync(std::string &why);
  // Closes; false with `why` set when the close reports an error.
  bool close(std::string &why);
  void take_back();

 private:
  int fd_ = -1;
  std::string name_;
  bool created_ = false;
  off_t old_size_ = 0;
};
