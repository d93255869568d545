#include <cstdio>

#include "proto/packet.hpp"

int main() {
  std::printf("vennock wire version %u\n", static_cast<unsigned>(vennock::proto::WIRE_VERSION));
  return 0;
}
