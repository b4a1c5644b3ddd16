// The man pages agree with the programs: every option of a program's --help is in its man page and the reverse,
// and qvt.conf(5) describes exactly the sections and keys the programs read, taken from the programs' own key
// lists (those behind the unknown-key warnings).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MasterAgent.h"
#include "ProgramSupport.h"
#include "SubAgentExample.h"

namespace QVT::test {
namespace {

std::vector<std::string> Lines(std::istream& in) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> PageLines(const std::string& page) {
  std::ifstream in(std::string(QV_MAN_DIR) + "/" + page);
  EXPECT_TRUE(in.good()) << page;
  return Lines(in);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Man source to plain text: "\-" is a hyphen, font changes and quotes go.
std::string Plain(const std::string& source) {
  std::string text;
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '\\' && i + 1 < source.size() && source[i + 1] == '-') {
      text += '-';
      ++i;
    } else if (source[i] == '\\' && i + 2 < source.size() && source[i + 1] == 'f') {
      i += 2;
    } else if (source[i] != '"') {
      text += source[i];
    }
  }
  return text;
}

// The words of `text` that start with '-', commas dropped.
std::set<std::string> OptionWords(std::string text) {
  std::replace(text.begin(), text.end(), ',', ' ');
  std::istringstream words(text);
  std::set<std::string> options;
  for (std::string word; words >> word;) {
    if (word.size() > 1 && word[0] == '-') options.insert(word);
  }
  return options;
}

// The options of --help: the lines of its "Options:" block that start with one, up to the description (two
// blanks after the option's words).
std::set<std::string> HelpOptions(const std::string& usage) {
  std::istringstream in(usage);
  std::set<std::string> options;
  bool inBlock = false;
  for (const std::string& line : Lines(in)) {
    if (line == "Options:") {
      inBlock = true;
    } else if (inBlock && line.empty()) {
      break;
    } else if (inBlock) {
      const size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos || line[first] != '-') continue;
      const size_t gap = line.find("  ", first);
      const std::set<std::string> found = OptionWords(line.substr(first, gap == std::string::npos ? gap : gap - first));
      options.insert(found.begin(), found.end());
    }
  }
  return options;
}

// The options of a man page: the tags (the line after .TP) of its OPTIONS section.
std::set<std::string> ManOptions(const std::vector<std::string>& page) {
  std::set<std::string> options;
  bool inSection = false;
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i].rfind(".SH", 0) == 0) inSection = page[i] == ".SH OPTIONS";
    if (!inSection || page[i] != ".TP" || i + 1 >= page.size()) continue;
    const std::string& tag = page[i + 1];
    const size_t blank = tag.find(' ');
    const std::set<std::string> found = OptionWords(Plain(blank == std::string::npos ? "" : tag.substr(blank + 1)));
    options.insert(found.begin(), found.end());
  }
  return options;
}

// The keys of qvt.conf(5): under each ".SS [Section]" the tags ".B Key" (the line after .TP), in the form of the
// programs' key lists: lower case, "[User NAME]" as "user *".
app::Configuration::KeySet ManKeys(const std::vector<std::string>& page) {
  app::Configuration::KeySet keys;
  std::string section;
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i].rfind(".SH", 0) == 0) section.clear();
    if (page[i].rfind(".SS ", 0) == 0) {
      std::string name = Plain(page[i].substr(4));
      if (name.size() < 2 || name.front() != '[' || name.back() != ']') continue;
      name = Lower(name.substr(1, name.size() - 2));
      const size_t blank = name.find(' ');
      section = blank == std::string::npos ? name : name.substr(0, blank) + " *";
      keys[section];
    } else if (!section.empty() && page[i] == ".TP" && i + 1 < page.size() && page[i + 1].rfind(".B ", 0) == 0) {
      keys[section].insert(Lower(Plain(page[i + 1].substr(3))));
    }
  }
  return keys;
}

std::string Join(const std::set<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

struct ProgramPage {
  const char* program;
  std::string usage;
  const char* page;
};

TEST(ManPageTest, EachProgramsOptionsAreThoseOfItsHelp) {
  const ProgramPage programs[] = {
      {app::MasterAgent::kProgram, app::MasterAgent::Usage(), "qvt-master-agent.8"},
      {app::SubAgentExample::kProgram, app::SubAgentExample::Usage(), "qvt-subagent-example.8"},
  };
  for (const ProgramPage& p : programs) {
    SCOPED_TRACE(p.program);
    const std::set<std::string> help = HelpOptions(p.usage);
    const std::set<std::string> man = ManOptions(PageLines(p.page));
    // Both programs have at least -c, --config, -t, --trace, -h, --help, -V, --version.
    EXPECT_GE(help.size(), 8u) << Join(help);
    EXPECT_EQ(Join(man), Join(help)) << "man page " << p.page << " against --help";
  }
}

TEST(ManPageTest, TheConfigurationPageHasEveryKeyTheProgramsReadAndNoOther) {
  app::Configuration::KeySet code = app::MasterAgent::ConfigKeys();
  for (const auto& [section, keys] : app::SubAgentKeys()) code[section].insert(keys.begin(), keys.end());
  const app::Configuration::KeySet man = ManKeys(PageLines("qvt.conf.5"));
  std::set<std::string> sections;
  for (const auto& entry : code) sections.insert(entry.first);
  for (const auto& entry : man) sections.insert(entry.first);
  for (const std::string& section : sections) {
    SCOPED_TRACE("[" + section + "]");
    const auto inCode = code.find(section);
    const auto inMan = man.find(section);
    ASSERT_NE(inCode, code.end()) << "qvt.conf(5) describes a section no program reads";
    ASSERT_NE(inMan, man.end()) << "qvt.conf(5) leaves out a section the programs read";
    EXPECT_EQ(Join(inMan->second), Join(inCode->second));
  }
}

}  // namespace
}  // namespace QVT::test
