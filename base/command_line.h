#pragma once
// The command line of the project's programs. "--help" or "-h" anywhere asks for the usage,
// which goes to standard output with exit status 0; "--version" anywhere (after help) for the
// version, likewise. A wrong argument is one line "<program>: <what is wrong>" and a hint on
// standard error, with exit status 2; any other failure, something that could not be done,
// one line "<program>: <message>" with exit status 1.

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"

QP_DECLARE_EXCEPTION(EUsageError, Exception);

constexpr int kFailureStatus = 1;
constexpr int kUsageErrorStatus = 2;

bool AsksForHelp(const std::vector<std::string>& args);
bool AsksForVersion(const std::vector<std::string>& args);
// Prints the usage to standard output; returns 0.
int PrintUsage(const char* usage);
// Prints "<program> (Quillor) <version>" to standard output; returns 0.
int PrintVersion(const char* program, const std::string& version);
// Prints "<program>: <message>" and "Try '<program> --help'." to standard error; returns 2.
int ReportUsageError(const char* program, const EUsageError& error);

// A program's main: help, version (asked for only when wanted), then `run` with the
// arguments; an EUsageError ends it as ReportUsageError does, any other failure with its
// message and kFailureStatus.
int RunMain(const char* program, const char* usage, const std::function<std::string()>& version,
            int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run);

// The command word that leads `args` ("add" of "add NAME") and the arguments after it. Fails
// with "missing <what>" when there is none and "unknown option" when it is an option.
std::pair<std::string, std::vector<std::string>> SplitCommand(const std::vector<std::string>& args,
                                                              const std::string& what);

// The operands and options of one command. An option that takes a value takes the argument
// after it, whatever that looks like; any other argument starting with '-' (other than "-"
// alone) that is not a known option is refused.
class CommandLine {
 public:
  explicit CommandLine(const std::vector<std::string>& args,
                       std::initializer_list<const char*> valueOptions = {},
                       std::initializer_list<const char*> flags = {});

  // The operands, which must be exactly as many as `names` (for the messages: "missing DIR",
  // "extra operand 'x'").
  std::vector<std::string> Operands(std::initializer_list<const char*> names) const;
  bool Has(const std::string& option) const { return options_.count(option) != 0; }
  // The option's value; `fallback` when it was not given. The last of repeated options counts.
  std::string Value(const std::string& option, const std::string& fallback = "") const;

 private:
  std::vector<std::string> operands_;
  std::map<std::string, std::string> options_;
};
