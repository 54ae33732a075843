#pragma once

#include <string>
#include <string_view>

// The page API's names and declarations as text, made from the host's method
// and event tables: for the extension's scripts and the reference's tables.
namespace vexa {

// Fills a script of the extension: a line that holds only @VEXA_METHOD_NAMES@
// or @VEXA_EVENT_NAMES@ becomes the quoted names, each followed by a comma,
// wrapped at that line's indent; @VEXA_MAX_CALL_BYTES@ becomes the longest
// call the host takes. Throws std::runtime_error when a name of the form
// @VEXA_...@ is left over, so a misspelt one cannot reach the browser.
std::string fillPageApiScript(std::string_view script);

// The rows of the reference's method table, "| # | name | parameters |
// result |", one a line.
std::string methodTableRows();
// The declarations' `export interface VexaMethods {...}` and
// `export interface VexaEventArguments {...}`, each ending in a line end.
std::string methodDeclarations();
std::string eventDeclarations();

} // namespace vexa
