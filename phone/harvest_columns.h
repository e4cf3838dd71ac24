#pragma once
// The columns that SaveTapiNumbers reads from AD and writes to TAPI, checked
// before a contact's rows are touched: a table that lacks one would make the
// harvesting fail half-way with a message that names neither table nor column.

#include <string>
#include <vector>

namespace fonwerk::ado {
class Session;
}

namespace fonwerk {

// Names as the harvesting uses them; the database's names match without
// regard to case.
const std::vector<std::string>& HarvestedAdColumns();  // DSN, TELEFON, FAX, EMAIL, WEITEMAIL
const std::vector<std::string>& WrittenTapiColumns();  // DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn

// The first of `required` that `present` lacks (names without regard to
// case), or "" when it has them all.
std::string FirstMissingColumn(const std::vector<std::string>& present,
                               const std::vector<std::string>& required);

// Throws Error naming the table and the column when AD or TAPI lacks one of
// the columns above, or naming the table with the provider's message when it
// cannot be read at all (for instance because it does not exist).
void RequireHarvestColumns(ado::Session& session);

}  // namespace fonwerk
