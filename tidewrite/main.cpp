#include "tidewrite/main_flow.h"

int main(int argc, char **argv) { return tidewrite_program(argc, argv); }
