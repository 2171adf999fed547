#pragma once

// The three formats an import reads, each parsed into raw entries: the addresses and names as
// the file holds them, not yet checked (ListImport checks them alike for every format). Jobs
// that carry no address are noted as skipped here. The content is valid UTF-8 without a BOM.

#include "core/lists/ListImport.h"

#include <string_view>

namespace tw::importformat {

/// The format the content is written in, told from its first lines: "<" begins XML (OPML); a
/// "---" line, a "%YAML" directive, a "- " item or a "key:" line begins YAML; anything else is a
/// plain list of addresses.
ListFormat detect(std::string_view text);

/// One address a line; "#" begins a comment line; blank lines are passed over.
void parsePlainList(std::string_view text, ImportResult& result);
/// OPML: every outline of the body at any depth with an xmlUrl, htmlUrl or url (in that order of
/// preference); its text, else its title, is the name. A DOCTYPE is refused outright, so that no
/// entity (of which the parser expands none anyway) ever reaches a name.
void parseOpml(std::string_view text, ImportResult& result);
/// A stream of YAML documents (or one sequence of them), each a job: `url` and `name` make an
/// entry; a job without `url` is skipped under its kind (command, navigate...). Aliases are
/// refused outright and collections nest at most kMaxImportDepth deep.
void parseYamlJobs(std::string_view text, ImportResult& result);

} // namespace tw::importformat
