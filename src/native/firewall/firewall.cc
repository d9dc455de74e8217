#include "firewall/firewall.h"

#include "core/logging.h"

namespace norvo::firewall {

Firewall::Firewall(std::string project_root)
    : project_root_(std::move(project_root)), policy_(load_policy(project_root_)), validator_(policy_) {
  NLOG_INFO(kLogTarget, "Firewall initialized", {"project", project_root_});
}

}  // namespace norvo::firewall
