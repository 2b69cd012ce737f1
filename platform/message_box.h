#pragma once
// Message boxes through a replaceable handler: standard error by default, FLTK in the GUI
// programs, a recorder in tests.

#include <functional>
#include <string>

namespace platform {

enum class MsgButtons { Ok, OkCancel, YesNo };
enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgResult { Ok, Cancel, Yes, No };

using MessageBoxHandler = std::function<MsgResult(const std::string& text,
                                                  const std::string& caption, MsgButtons, MsgIcon)>;

MsgResult ShowMessageBox(const std::string& text, const std::string& caption = "",
                         MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::None);
// Puts a handler in force (an empty one restores the standard-error default); returns the
// previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
