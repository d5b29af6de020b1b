// Temporary: the partial write (-t) and the FTL write (-w) are not built yet.
// Until they are, a run that asks for them ends with a clear message and a
// failure status. This file goes when partial_write.cpp and ftl_write.cpp land.
#include <cstdio>

#include "tidewrite/nand/nand_flows.h"

int nand_flash_partial_image_write(const char *type_id_w) {
  printf("partial image write (-t %s) is not available in this build\n\r", type_id_w);
  return -1;
}

int nand_load_ftl_block(UARTHDL, const uint8_t *, int, int, int) {
  printf("FTL write (-w) is not available in this build\n\r");
  return -1;
}
