// tidewrite itself, with the offline image written slowly (a pause after
// every 4 MiB piece), so that a test can stop it by a signal while the image
// file grows.
#include <chrono>
#include <cstdint>
#include <thread>

#include "tidewrite/main_flow.h"
#include "tidewrite/nand/nand_flows.h"

int main(int argc, char **argv) {
  nand_image_set_write_hook([](int64_t, int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(40)); });
  return tidewrite_program(argc, argv);
}
