// The command lines of the bench programs: "--name VALUE" options, flags and
// operands, each value checked as it is read, and -h/--help. A program
// declares what it takes, then Parse says whether it goes on:
//
//   QVT::bench::CommandLine line(kProgram, Usage);
//   line.Text("--master", master).Number("--count", 1, 1000000, count);
//   if (const int status = line.Parse(argc, argv); status >= 0) return status;
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace QVT::bench {

// `text` as a decimal number in [min, max]; false (value untouched) otherwise.
inline bool ParseLong(const std::string& text, long min, long max, long& value) {
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < min || number > max) return false;
  value = number;
  return true;
}

class CommandLine {
 public:
  // Prints the usage to `out` and returns `status`.
  using Usage = int (*)(FILE* out, int status);

  CommandLine(const char* program, Usage usage) : m_program(program), m_usage(usage) {}

  CommandLine& Flag(const char* name, bool& value) {
    m_options.push_back({name, true, [&value](const std::string&) { return value = true; }});
    return *this;
  }
  // A value that must not be empty.
  CommandLine& Text(const char* name, std::string& value) {
    return Take(name, [&value](const std::string& text) {
      value = text;
      return !text.empty();
    });
  }
  CommandLine& Number(const char* name, long min, long max, long& value) {
    return Take(name, [min, max, &value](const std::string& text) { return ParseLong(text, min, max, value); });
  }
  // Any other value: `take` says whether it is usable.
  CommandLine& Take(const char* name, std::function<bool(const std::string&)> take) {
    m_options.push_back({name, false, std::move(take)});
    return *this;
  }
  // Arguments that do not start with "--" go here; without this they are errors.
  CommandLine& Operands(std::vector<std::string>& operands) {
    m_operands = &operands;
    return *this;
  }

  // -1 when the program goes on; otherwise the status to exit with: 0 after
  // --help, 2 after an unusable argument (said on stderr with the usage).
  int Parse(int argc, char** argv) const {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "-h" || arg == "--help") return m_usage(stdout, 0);
      if (m_operands != nullptr && arg.rfind("--", 0) != 0) {
        m_operands->push_back(arg);
        continue;
      }
      const Option* option = Find(arg);
      if (option == nullptr) return Refuse("unknown argument '" + arg + "'");
      if (option->flag) {
        option->take("");
        continue;
      }
      if (i + 1 >= argc) return Refuse("'" + arg + "' needs a value");
      const std::string value = argv[++i];
      if (!option->take(value)) return Refuse("unusable option '" + arg + " " + value + "'");
    }
    return -1;
  }

 private:
  struct Option {
    std::string name;
    bool flag;
    std::function<bool(const std::string&)> take;
  };

  const Option* Find(const std::string& name) const {
    for (const Option& option : m_options) {
      if (option.name == name) return &option;
    }
    return nullptr;
  }
  int Refuse(const std::string& what) const {
    std::fprintf(stderr, "%s: %s\n", m_program, what.c_str());
    return m_usage(stderr, 2);
  }

  const char* m_program;
  Usage m_usage;
  std::vector<Option> m_options;
  std::vector<std::string>* m_operands = nullptr;
};

}  // namespace QVT::bench
