// The Python class Firewall: construction, the classification and analysis
// methods, the policy read-outs and the text form. Every member checks the
// creating thread and takes a shared hold; none needs an exclusive one.
#pragma once

#include "bindings/py.h"

namespace norvo::bindings {

inline constexpr const char* kFirewallTypeName = "norvo_native::Firewall";

// Creates the type once; borrowed reference, nullptr with an exception set.
PyTypeObject* firewall_type();

}  // namespace norvo::bindings
