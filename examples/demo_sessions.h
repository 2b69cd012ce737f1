#pragma once
// The sessions of the demo handheld: what a small warehouse's scanners might hold after a
// morning's work.

#include <vector>

#include "examples/session_builder.h"

namespace qp_demo {

// Slot 0 "Stock count" (tab-delimited, field names as headers, data cleared after the
// download, upload files moved aside), slot 1 "Deliveries" (XML, with a signature field, the
// one written to the ODBC table), slot 3 "Price check" (comma-separated, quoted, appended to)
// and slot 5 "Site visits" (HTML).
std::vector<SessionSpec> DemoSessions();

}  // namespace qp_demo
