// One option parser for the Manager and its tools, over getopt_long.
#include "cli.h"

#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace kiv::tools {

Parser::Parser(const char* who, const char* hint, std::initializer_list<Opt> opts, bool in_order)
    : who_(who), hint_(hint), opts_(opts), in_order_(in_order) {
  opts_.push_back({"help", kHelp, false});
  opts_.push_back({"version", kVersion, false});
}

int Parser::next(int argc, char** argv, const char** value) {
  // ':' first: a missing value is told apart from an unknown option.
  std::string shorts = in_order_ ? "+:" : ":";
  std::vector<option> longs;
  for (const Opt& o : opts_) {
    longs.push_back({o.name, o.value ? required_argument : no_argument, nullptr, o.key});
    if (o.key < 256) {
      shorts += static_cast<char>(o.key);
      if (o.value) shorts += ':';
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  if (!started_) {
    optind = 0;  // glibc starts over, the "+" included
    started_ = true;
  }
  opterr = 0;
  int index = -1;
  const int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &index);
  *value = optarg;
  if (c == -1) return -1;
  // The word that held the option: getopt_long has moved past it.
  const char* word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
  if (index >= 0) {
    snprintf(spelled_, sizeof spelled_, "--%s", longs[static_cast<size_t>(index)].name);
  } else if (c != '?' && c != ':') {
    snprintf(spelled_, sizeof spelled_, "-%c", c);
  }
  if (c == ':' || c == '?') {
    const bool is_long = strncmp(word, "--", 2) == 0;
    std::string text = is_long ? std::string(word) : std::string("-") + static_cast<char>(optopt);
    text = text.substr(0, text.find('='));
    // A known long option given a value it does not take comes as '?'
    // with its key in optopt; an unknown one with 0.
    const char* what = c == ':' ? "option '%s' needs a value"
                       : is_long && optopt != 0 ? "option '%s' takes no value"
                                                : "unknown option '%s'";
    fprintf(stderr, "%s: ", who_);
    fprintf(stderr, what, text.c_str());
    fprintf(stderr, " (try '%s')\n", hint_);
    return '?';
  }
  return c;
}

int Parser::index() const { return optind; }

int Parser::bad_value(const char* value) const {
  fprintf(stderr, "%s: invalid value '%s' for %s\n", who_, value != nullptr ? value : "", spelled_);
  return '?';
}

void print_version(const char* name, FILE* f) { fprintf(f, "%s (libkiv) %s\n", name, KIV_VERSION); }

}  // namespace kiv::tools
