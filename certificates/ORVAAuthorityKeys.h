#pragma once
// The keys of the authority's own certificate hierarchy that the chain check accepts for an
// issuing or root certificate. The machine-wide string AuthorityKeys (hexadecimal keys
// separated by ";") replaces the compiled-in lists when it is present; entries that are not
// hexadecimal are ignored. Keys are compared ignoring case.
#include <string>
#include <vector>

namespace orva::cert {

// The accepted keys as lower-case hexadecimal text, read afresh on every call.
std::vector<std::string> AcceptedAuthorityKeys();

}  // namespace orva::cert
