// The native state behind a Python `Firewall`: the project root as given,
// the policy in effect and its compiled validator. Immutable once built.
#pragma once

#include <string>

#include "firewall/policy.h"
#include "firewall/validator.h"

namespace norvo::firewall {

class Firewall {
 public:
  // Loads the policy of `project_root` (or the production defaults, with a
  // warning), compiles it and logs "Firewall initialized". Never fails
  // because of the policy file. The root is neither resolved nor checked.
  explicit Firewall(std::string project_root);

  const std::string& project_root() const { return project_root_; }
  const Policy& policy() const { return policy_; }
  const ImportValidator& validator() const { return validator_; }

  // Where the policy comes from, looking at the file system now.
  PolicySource source() const { return policy_source(project_root_); }

 private:
  std::string project_root_;
  Policy policy_;
  ImportValidator validator_;
};

}  // namespace norvo::firewall
