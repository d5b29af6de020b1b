// make_sample_firmware DIR: writes the demo's sample firmware (fw.bin, every
// section kind, small enough for a quick run) and a synthetic
// flash_control_info.bin into DIR. Built with the programs, never installed.
#include <cstdio>
#include <exception>
#include <filesystem>

#include "tests/support/fw_builder.h"

namespace fs = std::filesystem;

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_firmware DIR\n");
    return 2;
  }
  try {
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    const fwbuild::Sample sample = fwbuild::sample_firmware();
    fwbuild::write_bytes((dir / "fw.bin").string(), sample.file);
    fwbuild::write_bytes((dir / "flash_control_info.bin").string(), fwbuild::control_info());
    std::printf("sample firmware (%zu bytes, %zu images) and control information written to %s\n",
                sample.file.size(), sample.images.size(), argv[1]);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "make_sample_firmware: %s\n", e.what());
    return 1;
  }
  return 0;
}
