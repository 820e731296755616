#include "HelpFormats.h"

#include <algorithm>
#include <cctype>

#include "Arguments.h"

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

// Words for a bash script between single quotes (option names and values
// never hold a quote; a stray one is left out rather than end the string).
std::string Quoted(const std::vector<std::string>& Words) {
  std::string text = Joined(Words);
  std::erase(text, '\'');
  return "'" + text + "'";
}

std::vector<std::string> FormNames(const std::vector<TOptionForm>& Forms, TOptionForm::TKind Kind) {
  std::vector<std::string> names;
  for (const TOptionForm& form : Forms) {
    if (form.Kind == Kind) names.push_back(form.Name);
  }
  return names;
}

// The case patterns "cmd:action:--a"|"cmd:action:--b" for options of Kind.
std::string Patterns(const std::string& Key, const std::vector<TOptionForm>& Forms, TOptionForm::TKind Kind) {
  std::string patterns;
  for (const std::string& name : FormNames(Forms, Kind)) patterns += (patterns.empty() ? "'" : "|'") + Key + name + "'";
  return patterns;
}

// The script works from the words on the line alone: it offers commands,
// actions, the options of the action at hand, the words an option takes and
// file names, and never opens a file (a vault's titles are encrypted: offering
// them would need its master password).
std::string Bash(std::span<const THelpEntry> Entries) {
  std::string actionsCase;
  std::string optionsCase;
  std::string valuesCase;
  for (const THelpEntry& entry : Entries) {
    const std::string name = entry.Name;
    const std::vector<std::string> actions = ActionsOf(entry);
    if (!actions.empty()) actionsCase += "    " + name + ") echo " + Quoted(actions) + " ;;\n";
    std::vector<std::string> keys = {""};
    keys.insert(keys.end(), actions.begin(), actions.end());
    for (const std::string& action : keys) {
      const std::vector<TOptionForm> forms = ActionOptions(entry, action);
      const std::string key = name + ":" + action + ":";
      std::vector<std::string> names;
      for (const TOptionForm& form : forms) names.push_back(form.Name);
      optionsCase += "    '" + name + ":" + action + "') options=" + Quoted(names) + " ;;\n";
      for (const TOptionForm& form : forms) {
        if (form.Kind != TOptionForm::Choice) continue;
        valuesCase +=
            "    '" + key + form.Name + "') values=" + Quoted(form.Values) + (form.Listed ? " listed=1" : "") + " ;;\n";
      }
      if (const std::string typed = Patterns(key, forms, TOptionForm::Typed); !typed.empty())
        valuesCase += "    " + typed + ") return ;;\n";
      if (const std::string files = Patterns(key, forms, TOptionForm::File); !files.empty())
        valuesCase += "    " + files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    }
  }
  return "# bash completion for klpass, made by 'klpass completion bash' from its help text\n"
         "_klpass_actions() {\n"
         "  case $1 in\n" +
         actionsCase +
         "  esac\n"
         "}\n"
         "_klpass() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev='' cmd=${COMP_WORDS[1]} action='' actions options='' values=''\n"
         "  local listed='' head='' i\n"
         "  COMPREPLY=()\n"
         "  [ \"$COMP_CWORD\" -gt 1 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W '" +
         Joined(CommandNames(Entries)) +
         " help completion --version --help' -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case $cmd in\n"
         "    help)\n"
         "      if [ \"$COMP_CWORD\" -eq 2 ]; then\n"
         "        COMPREPLY=($(compgen -W '" +
         Joined(CommandNames(Entries)) +
         " exit-status --man' -- \"$cur\"))\n"
         "      elif [ \"$COMP_CWORD\" -eq 3 ]; then\n"
         "        COMPREPLY=($(compgen -W \"$(_klpass_actions \"${COMP_WORDS[2]}\")\" -- \"$cur\"))\n"
         "      fi\n"
         "      return ;;\n"
         "    completion)\n"
         "      [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W 'bash zsh fish --help' -- \"$cur\"))\n"
         "      return ;;\n"
         "  esac\n"
         "  # The action: the first word after the command that names one (users\n"
         "  # takes options before it).\n"
         "  actions=$(_klpass_actions \"$cmd\")\n"
         "  for ((i = 2; i < COMP_CWORD; i++)); do\n"
         "    if [[ -n $actions && \" $actions \" == *\" ${COMP_WORDS[i]} \"* ]]; then\n"
         "      action=${COMP_WORDS[i]}\n"
         "      break\n"
         "    fi\n"
         "  done\n"
         "  case \"$cmd:$action:$prev\" in\n" +
         valuesCase +
         "  esac\n"
         "  if [ -n \"$values\" ]; then\n"
         "    # A list (\"--lang de,fr\"): the words before the last comma stay.\n"
         "    if [ -n \"$listed\" ] && [[ $cur == *,* ]]; then\n"
         "      head=${cur%,*},\n"
         "      cur=${cur##*,}\n"
         "    fi\n"
         "    COMPREPLY=($(compgen -P \"$head\" -W \"$values\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  if [ -n \"$actions\" ] && [ -z \"$action\" ] && [[ $cur != -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$actions\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case \"$cmd:$action\" in\n" +
         optionsCase +
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _klpass klpass\n";
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

// A usage line of the command ("  vault show FILE ...") with the lines that
// continue it (indented deeper than the six spaces of the description), and
// the actions its first words name.
struct TUsageGroup {
  std::vector<std::string> Actions;
  std::string Text;
};

std::vector<std::string> ActionWords(const std::string& line, const std::string& prefix) {
  std::vector<std::string> actions;
  if (line.rfind(prefix, 0) != 0) return actions;
  // Words in lower case ("add|change") before a space or the end: actions,
  // not FILE or [--x].
  std::size_t end = prefix.size();
  while (end < line.size() && (IsWordChar(line[end]) || line[end] == '|')) ++end;
  if (end == prefix.size() || (end < line.size() && line[end] != ' ') || line[prefix.size()] == '-') return actions;
  const std::string words = line.substr(prefix.size(), end - prefix.size());
  for (std::size_t start = 0; start < words.size();) {
    std::size_t bar = words.find('|', start);
    if (bar == std::string::npos) bar = words.size();
    if (bar > start) AddOnce(actions, words.substr(start, bar - start));
    start = bar + 1;
  }
  return actions;
}

std::vector<TUsageGroup> UsageGroups(const THelpEntry& Entry) {
  std::vector<TUsageGroup> groups;
  const std::string prefix = "  " + std::string(Entry.Name);
  bool open = false;
  for (const std::string& line : Lines(Entry.Usage)) {
    if (line.rfind(prefix, 0) == 0 && (line.size() == prefix.size() || line[prefix.size()] == ' ')) {
      groups.push_back({ActionWords(line, prefix + " "), line + "\n"});
      open = true;
    } else if (open && line.rfind("        ", 0) == 0) {
      groups.back().Text += line + "\n";
    } else {
      open = false;
    }
  }
  return groups;
}

// The lines of a group as one line: "auto|csv|\n   json" joins as "auto|csv|json".
std::string Flat(const std::string& Text) {
  std::string flat;
  for (const std::string& line : Lines(Text)) {
    const std::size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    if (!flat.empty() && flat.back() != '|') flat += ' ';
    flat += line.substr(first);
  }
  return flat;
}

TOptionForm NamedForm(std::string Name, TOptionForm::TKind Kind = TOptionForm::Flag) {
  TOptionForm form;
  form.Name = std::move(Name);
  form.Kind = Kind;
  return form;
}

bool IsFilePlaceholder(std::string_view Word) {
  return Word.starts_with("FILE") || Word.starts_with("PATH") || Word == "F" || Word == "COMPILED";
}

// "csv|json|...]" or "FILE]..." or "L[,L...]|all": the words that may be
// typed as they stand, and whether the value is a file or a list.
void ReadValue(std::string_view Token, TOptionForm& Form) {
  std::string placeholder;
  for (std::size_t start = 0; start <= Token.size();) {
    std::size_t bar = Token.find('|', start);
    if (bar == std::string_view::npos) bar = Token.size();
    std::string_view piece = Token.substr(start, bar - start);
    for (bool trimmed = true; trimmed;) {
      trimmed = false;
      if (piece.ends_with("...")) piece.remove_suffix(3), trimmed = true;
      if (piece.ends_with("]")) piece.remove_suffix(1), trimmed = true;
    }
    const bool word = !piece.empty() && std::islower(static_cast<unsigned char>(piece[0])) != 0 &&
                      std::all_of(piece.begin(), piece.end(), [](char C) {
                        return IsWordChar(C) || std::isdigit(static_cast<unsigned char>(C)) != 0;
                      });
    if (word) {
      AddOnce(Form.Values, std::string(piece));
    } else if (piece.find("[,") != std::string_view::npos) {
      Form.Listed = true;
    } else if (placeholder.empty()) {
      placeholder = piece;
    }
    start = bar + 1;
  }
  if (!Form.Values.empty()) {
    Form.Kind = TOptionForm::Choice;
  } else if (!placeholder.empty()) {
    Form.Kind = IsFilePlaceholder(placeholder) ? TOptionForm::File : TOptionForm::Typed;
  }
}

// One option met again (another usage line) adds its words to the first form.
void Merge(std::vector<TOptionForm>& Forms, TOptionForm Form) {
  for (TOptionForm& known : Forms) {
    if (known.Name != Form.Name) continue;
    for (std::string& value : Form.Values) AddOnce(known.Values, std::move(value));
    if (!known.Values.empty()) {
      known.Kind = TOptionForm::Choice;
    } else if (known.Kind == TOptionForm::Flag) {
      known.Kind = Form.Kind;
    }
    known.Listed = known.Listed || Form.Listed;
    return;
  }
  Forms.push_back(std::move(Form));
}

void AddForms(std::vector<TOptionForm>& Forms, std::string_view Flat) {
  for (std::size_t at = Flat.find("--"); at != std::string_view::npos; at = Flat.find("--", at + 2)) {
    if (at > 0 && Flat[at - 1] != ' ' && Flat[at - 1] != '[' && Flat[at - 1] != '|') continue;
    std::size_t end = at + 2;
    while (end < Flat.size() && IsWordChar(Flat[end])) ++end;
    if (end == at + 2) continue;
    TOptionForm form = NamedForm(std::string(Flat.substr(at, end - at)));
    if (end + 1 < Flat.size() && Flat[end] == ' ' && Flat[end + 1] != '[' && Flat[end + 1] != '-' &&
        Flat[end + 1] != '|') {
      const std::size_t stop = std::min(Flat.find(' ', end + 1), Flat.size());
      ReadValue(Flat.substr(end + 1, stop - end - 1), form);
    }
    Merge(Forms, std::move(form));
  }
}

// The generator's alphabet options, which usages name as "[alphabet options]".
void AddAlphabet(std::vector<TOptionForm>& Forms) {
  for (const TOptionSpec& option : kAlphabetOptions) {
    Merge(Forms, NamedForm(std::string(option.Name), option.TakesValue ? TOptionForm::Typed : TOptionForm::Flag));
  }
}

} // namespace

std::vector<std::string> ActionsOf(const THelpEntry& Entry) {
  std::vector<std::string> actions;
  for (const TUsageGroup& group : UsageGroups(Entry)) {
    for (const std::string& action : group.Actions) AddOnce(actions, action);
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

std::string ActionUsage(const THelpEntry& Entry, std::string_view Action) {
  std::string usage;
  for (const TUsageGroup& group : UsageGroups(Entry)) {
    if (std::find(group.Actions.begin(), group.Actions.end(), Action) != group.Actions.end()) usage += group.Text;
  }
  return usage;
}

std::vector<TOptionForm> ActionOptions(const THelpEntry& Entry, std::string_view Action) {
  std::vector<TOptionForm> forms;
  const std::vector<TUsageGroup> groups = UsageGroups(Entry);
  const bool hasActions =
      std::any_of(groups.begin(), groups.end(), [](const TUsageGroup& G) { return !G.Actions.empty(); });
  if (Action.empty() && hasActions) return {NamedForm("--help")};
  bool alphabet = false;
  for (const TUsageGroup& group : groups) {
    const bool chosen =
        Action.empty() || std::find(group.Actions.begin(), group.Actions.end(), Action) != group.Actions.end();
    if (!chosen) continue;
    AddForms(forms, Flat(group.Text));
    alphabet = alphabet || group.Text.find("alphabet options") != std::string::npos;
  }
  if (alphabet) AddAlphabet(forms);
  for (const TOptionValues& more : Entry.MoreValues) {
    if (more.Action != Action) continue;
    for (TOptionForm& form : forms) {
      if (form.Name != more.Option) continue;
      for (const std::string& value : more.Values) AddOnce(form.Values, value);
      form.Kind = TOptionForm::Choice;
    }
  }
  Merge(forms, NamedForm("--help"));
  return forms;
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
