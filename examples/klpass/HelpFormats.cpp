#include "HelpFormats.h"

#include <algorithm>
#include <cctype>

namespace klpass {

namespace {

bool IsWordChar(char C) { return std::islower(static_cast<unsigned char>(C)) != 0 || C == '-'; }

void AddOnce(std::vector<std::string>& Words, std::string Word) {
  if (std::find(Words.begin(), Words.end(), Word) == Words.end()) Words.push_back(std::move(Word));
}

std::vector<std::string> Lines(std::string_view Text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < Text.size();) {
    std::size_t end = Text.find('\n', start);
    if (end == std::string_view::npos) end = Text.size();
    lines.emplace_back(Text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& Words) {
  std::string text;
  for (const std::string& word : Words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::vector<std::string> CommandNames(std::span<const THelpEntry> Entries) {
  std::vector<std::string> names;
  for (const THelpEntry& entry : Entries) names.emplace_back(entry.Name);
  return names;
}

std::string Bash(std::span<const THelpEntry> Entries) {
  std::string script =
      "# bash completion for klpass, made by 'klpass completion bash' from its help text\n"
      "_klpass() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} cmd=${COMP_WORDS[1]} actions='' options=''\n"
      "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      "    COMPREPLY=($(compgen -W '" +
      Joined(CommandNames(Entries)) +
      " help completion --version --help' -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  case $cmd in\n";
  for (const THelpEntry& entry : Entries) {
    script += "    " + std::string(entry.Name) + ") actions='" + Joined(ActionsOf(entry)) + "' options='" +
              Joined(OptionsOf(entry)) + "' ;;\n";
  }
  script += "    help) actions='" + Joined(CommandNames(Entries)) +
            " exit-status' ;;\n"
            "    completion) actions='bash zsh fish' ;;\n"
            "  esac\n"
            "  if [ \"$COMP_CWORD\" -eq 2 ] && [ -n \"$actions\" ]; then\n"
            "    COMPREPLY=($(compgen -W \"$actions\" -- \"$cur\"))\n"
            "  elif [[ $cur == -* ]]; then\n"
            "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
            "  else\n"
            "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
            "  fi\n"
            "}\n"
            "complete -o filenames -F _klpass klpass\n";
  return script;
}

std::string Zsh(std::span<const THelpEntry> Entries) {
  std::string script =
      "#compdef klpass\n"
      "# zsh completion for klpass, made by 'klpass completion zsh' from its help text\n"
      "_klpass() {\n"
      "  local -a actions options\n"
      "  if (( CURRENT == 2 )); then\n"
      "    compadd -- " +
      Joined(CommandNames(Entries)) +
      " help completion --version --help\n"
      "    return\n"
      "  fi\n"
      "  case $words[2] in\n";
  for (const THelpEntry& entry : Entries) {
    script += "    " + std::string(entry.Name) + ") actions=(" + Joined(ActionsOf(entry)) + ") options=(" +
              Joined(OptionsOf(entry)) + ") ;;\n";
  }
  script += "    help) actions=(" + Joined(CommandNames(Entries)) +
            " exit-status) ;;\n"
            "    completion) actions=(bash zsh fish) ;;\n"
            "  esac\n"
            "  if (( CURRENT == 3 && ${#actions} )); then\n"
            "    compadd -- $actions\n"
            "  elif [[ $PREFIX == -* ]]; then\n"
            "    compadd -- $options\n"
            "  else\n"
            "    _files\n"
            "  fi\n"
            "}\n"
            "_klpass \"$@\"\n";
  return script;
}

std::string Fish(std::span<const THelpEntry> Entries) {
  const std::string names = Joined(CommandNames(Entries));
  std::string script =
      "# fish completion for klpass, made by 'klpass completion fish' from its help text\n"
      "complete -c klpass -n '__fish_use_subcommand' -a 'help' -d 'show the usage of a command'\n"
      "complete -c klpass -n '__fish_use_subcommand' -a 'completion' -d 'print a completion script'\n"
      "complete -c klpass -n '__fish_use_subcommand' -l version -d 'show the version'\n";
  for (const THelpEntry& entry : Entries) {
    const std::string name = entry.Name;
    script += "complete -c klpass -n '__fish_use_subcommand' -a '" + name + "' -d '" + entry.Summary + "'\n";
    const std::string actions = Joined(ActionsOf(entry));
    if (!actions.empty()) {
      script += "complete -c klpass -n '__fish_seen_subcommand_from " + name +
                "; and not __fish_seen_subcommand_from " + actions + "' -a '" + actions + "'\n";
    }
    for (const std::string& option : OptionsOf(entry)) {
      script += "complete -c klpass -n '__fish_seen_subcommand_from " + name + "' -l " + option.substr(2) + "\n";
    }
  }
  script += "complete -c klpass -n '__fish_seen_subcommand_from help' -a '" + names +
            " exit-status'\n"
            "complete -c klpass -n '__fish_seen_subcommand_from completion' -a 'bash zsh fish'\n";
  return script;
}

// Text for a man(7) page: backslashes doubled as \e, hyphens as \-, and a
// line beginning with a control character guarded.
std::string Roff(std::string_view Text) {
  std::string out;
  for (const std::string& line : Lines(Text)) {
    std::string escaped;
    for (const char c : line) {
      if (c == '\\') {
        escaped += "\\e";
      } else if (c == '-') {
        escaped += "\\-";
      } else {
        escaped += c;
      }
    }
    if (!escaped.empty() && (escaped[0] == '.' || escaped[0] == '\'')) escaped = "\\&" + escaped;
    out += escaped + "\n";
  }
  return out;
}

} // namespace

std::vector<std::string> ActionsOf(const THelpEntry& Entry) {
  std::vector<std::string> actions;
  const std::string prefix = "  " + std::string(Entry.Name) + " ";
  for (const std::string& line : Lines(Entry.Usage)) {
    if (line.rfind(prefix, 0) != 0) continue;
    // Words in lower case ("add|change") before a space or the end: actions,
    // not FILE or [--x].
    std::size_t end = prefix.size();
    while (end < line.size() && (IsWordChar(line[end]) || line[end] == '|')) ++end;
    if (end == prefix.size() || (end < line.size() && line[end] != ' ') || line[prefix.size()] == '-') continue;
    const std::string words = line.substr(prefix.size(), end - prefix.size());
    for (std::size_t start = 0; start < words.size();) {
      std::size_t bar = words.find('|', start);
      if (bar == std::string::npos) bar = words.size();
      if (bar > start) AddOnce(actions, words.substr(start, bar - start));
      start = bar + 1;
    }
  }
  return actions;
}

std::vector<std::string> OptionsOf(const THelpEntry& Entry) {
  std::vector<std::string> options;
  const std::string_view usage = Entry.Usage;
  for (std::size_t at = usage.find("--"); at != std::string_view::npos; at = usage.find("--", at + 2)) {
    if (at > 0 && usage[at - 1] != ' ' && usage[at - 1] != '[' && usage[at - 1] != '|' && usage[at - 1] != ',')
      continue;
    std::size_t end = at + 2;
    while (end < usage.size() && IsWordChar(usage[end])) ++end;
    if (end > at + 2) AddOnce(options, std::string(usage.substr(at, end - at)));
  }
  return options;
}

std::string CompletionScript(std::string_view Shell, std::span<const THelpEntry> Entries) {
  if (Shell == "bash") return Bash(Entries);
  if (Shell == "zsh") return Zsh(Entries);
  if (Shell == "fish") return Fish(Entries);
  return {};
}

std::string ManualPage(std::span<const THelpEntry> Entries, const std::string& Version, const std::string& Closing) {
  std::string page =
      ".\\\" Made by 'klpass help --man' from its help text.\n"
      ".TH KLPASS 1 \"\" \"klpass " +
      Version +
      "\" \"User Commands\"\n"
      ".SH NAME\n"
      "klpass \\- check, generate, hash and keep passwords\n"
      ".SH SYNOPSIS\n"
      ".B klpass\n"
      ".I command\n"
      "[\\fIoptions\\fR]\n"
      ".br\n"
      ".B klpass help\n"
      "[\\fIcommand\\fR]\n"
      ".br\n"
      ".B klpass completion\n"
      "\\fBbash\\fR|\\fBzsh\\fR|\\fBfish\\fR\n"
      ".br\n"
      ".B klpass \\-\\-version\n"
      ".SH COMMANDS\n";
  for (const THelpEntry& entry : Entries) {
    page += ".SS " + std::string(entry.Name) + "\n" + Roff(entry.Summary) + ".PP\n.nf\n" + Roff(entry.Usage) + ".fi\n";
  }
  page += ".SH \"SECRETS, LOCKS AND EXIT STATUS\"\n" + Roff(Closing);
  return page;
}

} // namespace klpass
