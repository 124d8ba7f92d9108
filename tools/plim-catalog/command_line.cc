#include "tools/plim-catalog/command_line.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include "platform/catalog/catalog_location.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/usage_errors.h"

namespace plim {
namespace {

constexpr char kProgram[] = "plim-catalog";

constexpr char kFooter[] =
    "Global options, before or after the verb: --catalog DIR|redis://HOST:PORT[/NAME], --json, "
    "--quiet.\n"
    "Exit status: 0 success, 1 failure, 2 a command line that could not be understood, 130 "
    "interrupted.";

std::string VersionText() {
  return std::string(kProgram) + " " + PLIM_VERSION + "\nfingerprint version " +
         std::to_string(fingerprint::kFingerprintVersion) + "\ncatalog format version " +
         std::to_string(catalog::CatalogFormatVersion());
}

int UsageError(const std::string& message) {
  // The parser's messages repeat the arguments as they came.
  foundation::writeToStandardError(std::string(kProgram) + ": " + foundation::ShownText(message) +
                                   "\n");
  return kExitUsage;
}

std::string Suggestion(std::string_view word, const std::vector<std::string>& words) {
  std::string near = NearestWord(word, words);
  return near.empty() ? "" : " (did you mean \"" + near + "\"?)";
}

std::vector<CLI::App*> Verbs(CLI::App& app) {
  return app.get_subcommands([](CLI::App*) { return true; });
}

CLI::App* FindVerb(CLI::App& app, std::string_view name) {
  for (CLI::App* verb : Verbs(app)) {
    if (verb->get_name() == name) return verb;
  }
  return nullptr;
}

std::vector<std::string> VerbNames(CLI::App& app) {
  std::vector<std::string> names;
  for (CLI::App* verb : Verbs(app)) names.push_back(verb->get_name());
  return names;
}

std::vector<std::string> LongOptionNames(const std::vector<CLI::App*>& commands) {
  std::vector<std::string> names;
  for (CLI::App* command : commands) {
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// The option a short option in the wrong case, or the one long option
// beginning with its letter, was likely meant as: "-V" for "--version".
std::string NearestShortOption(const std::string& name, const std::vector<CLI::App*>& scope) {
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(name.back())));
  std::vector<std::string> starting;
  for (CLI::App* command : scope) {
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& short_name : option->get_snames()) {
        if (std::tolower(static_cast<unsigned char>(short_name[0])) == letter)
          return " (did you mean \"-" + short_name + "\"?)";
      }
      for (const std::string& long_name : option->get_lnames()) {
        if (long_name[0] == letter) starting.push_back("--" + long_name);
      }
    }
  }
  return starting.size() == 1 ? " (did you mean \"" + starting[0] + "\"?)" : "";
}

// Finds the first unknown verb or long option before CLI11 sees the line,
// so that the message can name the word and suggest the near one. Returns
// the error message, or nullopt when every word is known.
std::optional<std::string> FindUnknownWord(CLI::App& app, int argc, char** argv) {
  CLI::App* verb = nullptr;
  bool help_verb = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--") break;
    std::vector<CLI::App*> scope = {&app};
    if (verb != nullptr) scope.insert(scope.begin(), verb);
    if (word.size() > 1 && word[0] == '-') {
      const bool short_form = word.rfind("--", 0) != 0;
      std::string name(short_form ? word.substr(0, 2) : word.substr(0, word.find('=')));
      const CLI::Option* option = nullptr;
      for (CLI::App* command : scope) {
        if (option == nullptr) option = command->get_option_no_throw(name);
      }
      // Short flags may come together ("-qn"); one taking a value takes the rest.
      std::size_t letter = 1;
      for (; short_form && option != nullptr && letter + 1 < word.size(); ++letter) {
        if (option->get_expected_min() > 0) break;
        name = "-" + std::string(1, word[letter + 1]);
        option = nullptr;
        for (CLI::App* command : scope) {
          if (option == nullptr) option = command->get_option_no_throw(name);
        }
      }
      if (option == nullptr) {
        const std::string near =
            short_form ? NearestShortOption(name, scope) : Suggestion(name, LongOptionNames(scope));
        return "unknown option \"" + name + "\"" + near + "; see " + kProgram + " help" +
               (verb ? " " + verb->get_name() : "");
      }
      const bool value_attached =
          short_form ? letter + 1 < word.size() : word.find('=') != std::string_view::npos;
      if (option->get_expected_min() > 0 && !value_attached) ++i;
      continue;
    }
    if (verb != nullptr && !help_verb) continue;  // an operand
    CLI::App* named = FindVerb(app, word);
    if (named == nullptr) {
      return "unknown command \"" + std::string(word) + "\"" + Suggestion(word, VerbNames(app)) +
             "; " + kProgram + " help lists the commands";
    }
    if (verb == nullptr) {
      verb = named;
      help_verb = verb->get_name() == "help";
    } else {
      break;  // help's operand, a verb
    }
  }
  return std::nullopt;
}

}  // namespace

std::string NearestWord(std::string_view word, const std::vector<std::string>& words) {
  // Edit distance counting a swap of neighbours as one edit.
  auto distance = [](std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
      for (std::size_t j = 1; j <= b.size(); ++j) {
        std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
    return d[a.size()][b.size()];
  };
  // Short words are near only one edit away, or anything would be near them.
  std::size_t allowed = word.size() <= 4 ? 1 : 2;
  std::string best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& candidate : words) {
    std::size_t d = distance(word, candidate);
    if (d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

int RunCommandLine(int argc, char** argv, const std::vector<VerbDefinition>& verbs) {
  CLI::App app(
      "Fills and keeps the catalog of reference recordings that plim-shazamkit answers from.",
      kProgram);
  app.require_subcommand(1);
  app.footer(kFooter);
  app.get_formatter()->label("SUBCOMMAND", "VERB");
  app.set_version_flag("--version", VersionText(),
                       "Show the program's, the fingerprint's and "
                       "the catalog format's versions");
  GlobalOptions global;
  app.add_option("--catalog", global.catalog_directory,
                 "The catalog's directory, or a Redis catalog (default: $PLIM_CATALOG, else "
                 "$XDG_DATA_HOME/plim/catalog, else ~/.local/share/plim/catalog)")
      ->type_name("DIR|redis://HOST:PORT[/NAME]");
  std::string json_verbs;
  for (const VerbDefinition& definition : verbs) {
    if (!definition.writes_json) continue;
    json_verbs += (json_verbs.empty() ? "" : ", ") + std::string(definition.name);
  }
  app.add_flag("--json", global.json,
               "Write data as JSON lines, one object a line (" + json_verbs + ")");
  app.add_flag("-q,--quiet", global.quiet,
               "No progress bar, summary or confirmations: only data and errors");

  std::vector<std::pair<CLI::App*, VerbRun>> runs;
  for (const VerbDefinition& definition : verbs) {
    CLI::App* command =
        app.add_subcommand(std::string(definition.name), std::string(definition.summary));
    // Global options after the verb are handed back to the main parser.
    command->fallthrough();
    command->footer(kFooter);
    command->group("Verbs");
    runs.emplace_back(command, definition.declare(*command));
  }
  std::string help_topic;
  CLI::App* help = app.add_subcommand("help", "Show the help of plim-catalog or of one verb.");
  help->add_option("verb", help_topic, "The verb to explain")->type_name("VERB");
  help->fallthrough();
  help->group("Verbs");

  if (argc <= 1) {
    foundation::writeToStandardError(
        app.get_formatter()->make_help(&app, kProgram, CLI::AppFormatMode::Normal));
    return kExitUsage;
  }
  if (std::optional<std::string> unknown = FindUnknownWord(app, argc, argv)) {
    return UsageError(*unknown);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& asked) {  // --help, --version
    app.exit(asked);
    return kExitSuccess;
  } catch (const CLI::ParseError& error) {
    return UsageError(DescribeParseError(error, app));
  }

  if (help->parsed()) {
    // The formatter, not App::help, which would explain the help verb itself.
    CLI::App* topic = help_topic.empty() ? &app : FindVerb(app, help_topic);
    std::string name = topic == &app ? kProgram : std::string(kProgram) + " " + help_topic;
    foundation::writeToStandardOutput(
        app.get_formatter()->make_help(topic, name, CLI::AppFormatMode::Normal));
    return kExitSuccess;
  }
  std::size_t chosen = 0;
  while (chosen < runs.size() && !runs[chosen].first->parsed()) ++chosen;
  if (chosen == runs.size()) return kExitUsage;
  if (global.json && !verbs[chosen].writes_json) {
    return UsageError(std::string(verbs[chosen].name) +
                      " has no data to write as JSON; --json is for " + json_verbs);
  }
  if (global.catalog_directory.empty()) {
    try {
      global.catalog_directory = catalog::DefaultCatalogDirectory().string();
    } catch (const foundation::NSError& error) {
      foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
      return kExitFailure;
    }
  }
  return runs[chosen].second(global);
}

}  // namespace plim
