#include <cstdio>

#include "driver/quarnprog.h"

int main(int argc, char** argv) {
  // Every echoed byte and progress mark shows at once, on a terminal and in a
  // piped log alike, so a stalled run shows where it stalled.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return quarnprog_main(argc, argv);
}
