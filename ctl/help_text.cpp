// The text of fonwerkctl --help: what each command does, the exit statuses.

#include "ctl/help_text.h"

namespace fonwerk::ctl {

const char* const kHelpDescription =
    "fonwerkctl: the canonical telephone service of a Korvana installation from the shell.";

const char* const kHelpFooter = R"(Commands:
  config                   Prints the configuration, one name=value line each:
                           Enabled, Plus, code, VAZ, Suspress.
  config set KEY=VALUE...  Changes the stored settings Active, Plus, VAZ, Suspress
                           (truth values: true/false, yes/no, 1/0) and prints the
                           configuration as stored.
  dial NUMBER              Prints the dialling form of NUMBER (digits only).
  format NUMBER            Prints the display form: area part, a tab, subscriber part.
  prefix AREA              Prints the display form of an area part, e.g. +49(89).
  phones KEYS [--row N]    Prints the telephone entries of the contacts KEYS
                           (separated by |) as a table: key, name, company, remark,
                           number. With --row N, also row=M on standard error: the
                           position of telephone line N in that table.
  where-phone TEXT         Prints the search condition for numbers beginning with TEXT.
  where-email TEXT         Prints the search condition for addresses containing TEXT.
  refresh KEY [--wait S]   Rebuilds the TAPI rows of one contact (delete and write in
                           one transaction) and prints how many rows it now has.
                           While a rebuild or sync runs it waits for it, at most S
                           seconds (default 30), then ends with status 1.
  refresh --kennung K      The same for the one contact whose Kennung is K.
  sync [--full] [--json]   Brings TAPI up to date with AD by writing only the
                           difference, in one transaction: rows of changed, new and
                           deleted contacts. Passes over contacts whose harvested
                           columns and settings are unchanged since Fonwerk last wrote
                           their rows; --full compares every contact with the rows
                           TAPI holds (and repairs rows edited by hand). Prints one
                           summary line, or one JSON object with --json. Ends at once
                           with status 1 while a rebuild runs; status 2 when contacts
                           failed (they keep their old rows).
  lookup NUMBER            Finds the contacts behind an incoming number: rows whose
                           number equals it, else the longest stored prefix of at
                           least six digits (a switchboard). An argument with "@" is
                           an e-mail address, compared without regard to case.
                           One line per match: AD_DSN, name, company, NUMMER, BEMERKUNG.
  lookup --json NUMBER     The same as one JSON object {"number", "matches": [...]}.
  lookup [--json] -        Reads one number per line from standard input and answers
                           each with one line: the number, TAB, the count of matches
                           and their fields (or one JSON object with --json).
  serve [--listen HOST:PORT] [--token-file F] [--sessions N] [--budget-ms N]
        [--watch] [--tls-cert FILE --tls-key FILE] [--access-log FILE]
                           Answers lookups over HTTP until SIGTERM or SIGINT:
                           GET /lookup?number=N (JSON, as lookup --json),
                           GET /health and GET /metrics (Prometheus). Listens
                           on 127.0.0.1:8080 by default; a host other than
                           loopback needs a shared secret (FONWERK_TOKEN, or
                           --token-file readable only by its owner), which
                           every request then carries as header X-API-Key,
                           Authorization: Bearer or parameter token. N database
                           sessions (default 4) answer the requests. --budget-ms
                           N (default 800): a lookup not answered in time is
                           answered 503. With --tls-cert and --tls-key it serves
                           HTTPS. SIGHUP reads the configuration anew.
                           With --watch the service also keeps TAPI current,
                           as watch does.
  watch --enable | --disable
                           Installs (or removes) the change capture on AD: a
                           queue table FONWERK_AD_CHANGES that triggers fill with
                           the keys of changed contacts. Both may be repeated.
  watch [--interval SECONDS]
                           Keeps TAPI current until SIGTERM or SIGINT: applies the
                           recorded changes as they come, each batch in one
                           transaction. Without change capture it refreshes the
                           whole table every SECONDS (default 60).
Texts of several words may be given unquoted; they are joined with single blanks.
--plus, --code, --vaz and --suspress change the configuration for this run only
(so they cannot be combined with config set).
The installation is --install PATH, else the path in the registry file
($KORVANA_REGISTRY or /etc/korvana/registry.ini); its SQL/SQL.INI names the database.
lookup and serve read from the server that section [Replica] names, if any
(serve asks [Database] when it cannot answer in time); the rest uses [Database].
Plus and --code take digits; VAZ and --vaz take digits or nothing (a country
without trunk prefix).
Exit status (as for fonwerk): 0 done (a search found something), 1 nothing found
or unknown contact, or no installation (no path, the folder or SQL/SQL.INI
missing), or the lookup table is locked by a rebuild (refresh, sync), 2 sync: some
contacts failed, 3 failure (refresh, sync: nothing was changed), 64 bad arguments.)";

}  // namespace fonwerk::ctl
