#pragma once
// The consent question of the loopback service's access rule: "may this web site use
// OrvaDesk?", asked through the user interface in force when a browser request comes from
// an origin that is neither listed nor answered in this run. The service's access policy
// keeps the answers (for the run, or in "ApprovedOrigins") and shares one question among
// the concurrent requests of an origin; this is the question itself:
//   - only a real origin, "scheme://host[:port]" of at most 255 characters, is ever shown
//     to the user; anything else ("null" included) is refused without a question;
//   - one question is on the screen at a time, whatever the number of origins asking.
#include <string>

#include "foundation/ORVAUserInterface.h"

// The origin lower-cased when it is one, "" otherwise.
std::string OrvaNormalizeWebOrigin(const std::string& strOrigin);

// Asks the user about `strOrigin`; blocks until answered.
OrvaConsent OrvaAskOriginConsent(const std::string& strOrigin);
