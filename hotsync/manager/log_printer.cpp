#include "hotsync/manager/log_printer.h"

#include "base/format.h"
#include "base/strings.h"
#include "base/text_file.h"
#include "sdk/hslog.h"

namespace hotsync {

std::string FormatLogEntry(const std::string& text, int32_t activity,
                           const std::string& conduitName) {
  std::string head;
  std::string body = text;
  switch (activity) {
    case QP_LOG_TEXT:
      break;
    case QP_LOG_SYNC_START:
      head = "[start]";
      if (body.empty()) body = conduitName;
      break;
    case QP_LOG_SYNC_END:
      head = "[end]";
      break;
    case QP_LOG_SYNC_FAILED:
      head = "[failed]";
      break;
    default:
      head = Format("[activity %d]", activity);
      break;
  }
  std::vector<std::string> lines = SplitLines(body);
  std::string out = head;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0)
      out += (head.empty() ? "" : " ") + lines[0];
    else
      out += "\n    " + lines[i];
  }
  return out;
}

void LogPrinter::Print(const char* text, int32_t activity) {
  if (activity == QP_LOG_SYNC_FAILED) sawFailure_ = true;
  // An entry's control characters could steer the terminal; its lines are already apart.
  out_ << EscapeControls(FormatLogEntry(text ? text : "", activity, conduitName_), "\n\t") << '\n';
  out_.flush();
}

}  // namespace hotsync
