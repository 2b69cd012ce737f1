#pragma once
// Root of every error the system raises. Its text is "ClassName: message", which is what
// the HotSync log shows after a failure.

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  virtual const char* ClassName() const { return "Exception"; }
  // ClassName() + ": " + Message().
  std::string Text() const { return std::string(ClassName()) + ": " + message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define QP_DECLARE_EXCEPTION(Name, Base)                     \
  class Name : public Base {                                 \
   public:                                                   \
    using Base::Base;                                        \
    const char* ClassName() const override { return #Name; } \
  }

QP_DECLARE_EXCEPTION(EConvertError, Exception);
QP_DECLARE_EXCEPTION(EInOutError, Exception);
QP_DECLARE_EXCEPTION(EListError, Exception);
QP_DECLARE_EXCEPTION(EStringListError, EListError);
QP_DECLARE_EXCEPTION(EOSError, Exception);
QP_DECLARE_EXCEPTION(EIniFileException, Exception);

// The text of any caught error: an Exception's Text(), or "Exception: " + what() otherwise.
std::string ErrorText(const std::exception& e);

// Runs Body; a failure of any kind reaches OnFailure as a std::exception, one that is not
// as Exception("Unknown error"). Answers whether Body ran through.
template <typename Body, typename Handler>
bool Attempt(Body&& body, Handler&& onFailure) {
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    onFailure(e);
  } catch (...) {
    onFailure(Exception("Unknown error"));
  }
  return false;
}
