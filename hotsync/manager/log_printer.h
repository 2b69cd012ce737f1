#pragma once
// Shows HotSync log entries readably as they arrive.

#include <cstdint>
#include <ostream>
#include <string>

namespace hotsync {

// "[start] name", "[end] name", "[failed] name", a text entry as it is; the lines after the
// first of a multi-line entry are indented. name is the running conduit's, for the start
// entry (which carries no text).
std::string FormatLogEntry(const std::string& text, int32_t activity,
                           const std::string& conduitName);

class LogPrinter {
 public:
  explicit LogPrinter(std::ostream& out) : out_(out) {}
  void SetConduitName(std::string name) { conduitName_ = std::move(name); }
  void Print(const char* text, int32_t activity);
  bool SawFailure() const { return sawFailure_; }

 private:
  std::ostream& out_;
  std::string conduitName_;
  bool sawFailure_ = false;
};

}  // namespace hotsync
