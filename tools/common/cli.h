// The command line of every tool: one getopt_long parser, the same usage
// errors, and the same --help and --version.
#pragma once

#include <stdio.h>

#include <initializer_list>
#include <vector>

namespace kiv::tools {

// Exit status of a usage error, in every tool.
inline constexpr int kExitUsage = 2;

// Keys every tool gives --help and --version.
inline constexpr int kHelp = 'h';
inline constexpr int kVersion = 'V';

struct Opt {
  const char* name;  // the long name, without "--"
  int key;           // its letter (also the short option), or 256 and up for a long-only one
  bool value;        // takes a value (--name=VALUE, --name VALUE, -kVALUE, -k VALUE)
};

class Parser {
 public:
  // who: the start of error lines ("vsdctl: set"); hint: the help to point
  // to ("vsdctl set --help"). in_order: options end at the first operand,
  // for commands whose operands are a command line of their own.
  Parser(const char* who, const char* hint, std::initializer_list<Opt> opts, bool in_order);

  // The next option of argv (argv[0] is the program or command name): its
  // key, with its value in *value. -1 after the last one: the operands are
  // argv[index()] on. '?' after a usage error, already reported.
  int next(int argc, char** argv, const char** value);
  int index() const;
  // The option last returned, as it was spelled ("--memory" or "-m").
  const char* spelled() const { return spelled_; }
  // Reports "who: invalid value 'V' for OPTION"; returns '?'.
  int bad_value(const char* value) const;

 private:
  const char* who_;
  const char* hint_;
  std::vector<Opt> opts_;
  bool in_order_;
  bool started_ = false;
  char spelled_[64] = {};
};

// "NAME (libkiv) VERSION" on f.
void print_version(const char* name, FILE* f = stdout);

}  // namespace kiv::tools
