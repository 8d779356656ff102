#pragma once
// The result of camctl check for people (a table), for machines (JSON) and for support (one
// self-contained XHTML page).

#include <string>

#include "tools/camctl/check_run.h"

namespace camctl {

// One row per function: verdict, figures, and the hint under every failure; with verbose also
// what each of camctl's own probes found.
std::string CheckTable(const CheckReport& report, bool verbose);
// One JSON object on one line. The password is never in it.
std::string CheckJson(const CheckReport& report);
// A page that opens in any browser without a network: inline CSS, the snapshots as data: URIs,
// well-formed XML so that strict parsers accept it.
std::string CheckHtml(const CheckReport& report, const std::string& version);

}  // namespace camctl
