#include <nanobind/nanobind.h>

#include "proto/packet.hpp"

namespace nb = nanobind;

NB_MODULE(_vennock, m) {
  m.def("wire_version", [] { return static_cast<int>(vennock::proto::WIRE_VERSION); },
        nb::sig("def wire_version() -> int"), "Wire format version spoken by this build.");
  m.attr("__version__") = "0.4.0";
}
