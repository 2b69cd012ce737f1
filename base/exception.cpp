#include "base/exception.h"

std::string ErrorText(const std::exception& e) {
  if (auto* ours = dynamic_cast<const Exception*>(&e)) return ours->Text();
  return std::string("Exception: ") + e.what();
}
