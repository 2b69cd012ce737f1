#include "base/command_line.h"

#include <algorithm>
#include <cstdio>

bool AsksForHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& a) { return a == "--help" || a == "-h"; });
}

bool AsksForVersion(const std::vector<std::string>& args) {
  return std::find(args.begin(), args.end(), "--version") != args.end();
}

int PrintUsage(const char* usage) {
  std::fputs(usage, stdout);
  return 0;
}

int PrintVersion(const char* program, const std::string& version) {
  std::printf("%s (Quillor) %s\n", program, version.c_str());
  return 0;
}

int RunMain(const char* program, const char* usage, const std::function<std::string()>& version,
            int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (AsksForHelp(args)) return PrintUsage(usage);
  try {
    if (AsksForVersion(args)) return PrintVersion(program, version());
    return run(args);
  } catch (const EUsageError& e) {
    return ReportUsageError(program, e);
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
  }
  return kFailureStatus;
}

int ReportUsageError(const char* program, const EUsageError& error) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, error.Message().c_str(), program);
  return kUsageErrorStatus;
}

namespace {

bool LooksLikeOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-';
}

}  // namespace

std::pair<std::string, std::vector<std::string>> SplitCommand(const std::vector<std::string>& args,
                                                              const std::string& what) {
  if (args.empty()) throw EUsageError("missing " + what);
  if (LooksLikeOption(args[0])) throw EUsageError("unknown option '" + args[0] + "'");
  return {args[0], std::vector<std::string>(args.begin() + 1, args.end())};
}

CommandLine::CommandLine(const std::vector<std::string>& args,
                         std::initializer_list<const char*> valueOptions,
                         std::initializer_list<const char*> flags) {
  auto named = [](std::initializer_list<const char*> list, const std::string& arg) {
    return std::any_of(list.begin(), list.end(), [&](const char* o) { return arg == o; });
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!LooksLikeOption(arg)) {
      operands_.push_back(arg);
    } else if (named(flags, arg)) {
      options_[arg];
    } else if (!named(valueOptions, arg)) {
      throw EUsageError("unknown option '" + arg + "'");
    } else if (i + 1 == args.size()) {
      throw EUsageError("option '" + arg + "' needs a value");
    } else {
      options_[arg] = args[++i];
    }
  }
}

std::vector<std::string> CommandLine::Operands(std::initializer_list<const char*> names) const {
  if (operands_.size() < names.size())
    throw EUsageError(std::string("missing ") + names.begin()[operands_.size()]);
  if (operands_.size() > names.size())
    throw EUsageError("extra operand '" + operands_[names.size()] + "'");
  return operands_;
}

std::string CommandLine::Value(const std::string& option, const std::string& fallback) const {
  const auto it = options_.find(option);
  return it == options_.end() ? fallback : it->second;
}
