// An error value in the platform's manner: a domain naming the party that
// raised it, a code within that domain, and a human-readable description.
//
// Every layer of plim reports failures by throwing NSError (or a subclass);
// only the programs' mains print a description and choose an exit status.

#ifndef PLIM_PLATFORM_FOUNDATION_NS_ERROR_H_
#define PLIM_PLATFORM_FOUNDATION_NS_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace plim::foundation {

class NSError : public std::runtime_error {
 public:
  // `description` is the text shown to a person, UTF-8, without a trailing
  // line feed of its own (one may be there; nothing strips it).
  NSError(std::string domain, std::int64_t code, std::string description)
      : std::runtime_error(description),
        domain_(std::move(domain)),
        code_(code),
        description_(std::move(description)) {}

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const std::string& description() const { return description_; }

 private:
  std::string domain_;
  std::int64_t code_;
  std::string description_;
};

}  // namespace plim::foundation

#endif  // PLIM_PLATFORM_FOUNDATION_NS_ERROR_H_
