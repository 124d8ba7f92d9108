#include "tools/plim-catalog/usage_errors.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "platform/foundation/quoted_text.h"

namespace plim {
namespace {

// The verb the line named, if CLI11 got as far as seeing it.
CLI::App* ParsedVerb(CLI::App& app) {
  for (CLI::App* verb : app.get_subcommands([](CLI::App*) { return true; })) {
    if (verb->parsed()) return verb;
  }
  return nullptr;
}

std::string HelpPointer(const CLI::App* verb) {
  return verb == nullptr ? "; see plim-catalog help"
                         : "; see plim-catalog help " + verb->get_name();
}

// The option of `verb` or of the program named `name` ("--jobs"), or null.
const CLI::Option* OptionNamed(CLI::App& app, CLI::App* verb, const std::string& name) {
  const CLI::Option* option = verb != nullptr ? verb->get_option_no_throw(name) : nullptr;
  return option != nullptr ? option : app.get_option_no_throw(name);
}

// The first operand of `verb` that must be given and was not.
const CLI::Option* MissingOperand(CLI::App* verb) {
  if (verb == nullptr) return nullptr;
  for (const CLI::Option* option : verb->get_options()) {
    if (option->get_required() && option->count() == 0) return option;
  }
  return nullptr;
}

std::string Lowercased(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

CLI::Validator WholeNumberFrom(unsigned min, unsigned max) {
  const std::string wanted =
      "takes a whole number from " + std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        unsigned number = 0;
        const char* end = value.data() + value.size();
        auto [stop, error] = std::from_chars(value.data(), end, number);
        if (error == std::errc() && stop == end && number >= min && number <= max) return "";
        return wanted + ", not " + foundation::QuotedText(value);
      },
      "", "WholeNumberFrom");
}

CLI::Validator SecondsOrMore() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        double seconds = -1;
        const char* end = value.data() + value.size();
        auto [stop, error] = std::from_chars(value.data(), end, seconds);
        if (error == std::errc() && stop == end && std::isfinite(seconds) && seconds >= 0) {
          return "";
        }
        return "takes a number of seconds, 0 or more, not " + foundation::QuotedText(value);
      },
      "", "SecondsOrMore");
}

std::string DescribeParseError(const CLI::ParseError& error, CLI::App& app) {
  CLI::App* verb = ParsedVerb(app);
  const std::string what = FirstLine(error.what());
  const std::string help = HelpPointer(verb);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    if (const CLI::Option* operand = MissingOperand(verb)) {
      return verb->get_name() + " needs " + operand->get_type_name() + " (" +
             Lowercased(operand->get_description()) + ")" + help;
    }
    if (verb == nullptr) return "no command given; plim-catalog help lists the commands";
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) {
    // The checks above word their message to follow the option's name.
    const std::size_t colon = what.find(": ");
    if (colon != std::string::npos)
      return what.substr(0, colon) + " " + what.substr(colon + 2) + help;
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    const std::string name = what.substr(0, what.find_first_of(": "));
    if (const CLI::Option* option = OptionNamed(app, verb, name)) {
      return name + " needs a value (" + option->get_type_name() + ")" + help;
    }
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    const std::size_t colon = what.rfind(": ");
    const std::string extras = colon == std::string::npos ? what : what.substr(colon + 2);
    return (verb != nullptr ? verb->get_name() + " takes" : "plim-catalog takes") +
           " no more operands, yet " + foundation::QuotedText(extras) + " follows" + help;
  }
  return Lowercased(what) + help;
}

}  // namespace plim
