#!/usr/bin/env bash
# Writes the hand-made seeds of every fuzz target into fuzz/corpus/<target>/
# (files seed_*; inputs libFuzzer found and kept are the other files there).
# The field separator of the inputs is the byte 0x1F, written $S below; a
# field that is one NUL byte is a database Null.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

S=$'\x1f'
seed() {  # seed TARGET NAME PRINTF-FORMAT
  mkdir -p "corpus/$1"
  printf "$3" >"corpus/$1/seed_$2"
}

# formatting: flags, Plus, code, VAZ, number (flags: 1 Suspress, 2 defaults)
n=0
for number in '089/123456' '+49 89 123456' '+43 1 234567' '0043 1 234567' '+49 (0)89 123456' \
  '089 123456' '00431 234567' '089/123 456' '089  123456' '123456' '   ' '' ' 089 123' '(089)' \
  '+49(89' '+43 1' '0099' '001684 55' '00420 123' '0012 3' '089-12 34'; do
  seed formatting_fuzz "$((n++))" "\x03${S}${S}${S}${S}${number//%/%%}"
done
seed formatting_fuzz nosuspress "\x02${S}${S}${S}${S}089 123"
seed formatting_fuzz config "\x01${S}+${S}4 9${S}${S}+49 (89) 1-2"
seed formatting_fuzz empty_config "\x00${S}${S}${S}${S}0049 89/1"
seed formatting_fuzz long_vaz "\x01${S}011${S}1${S}00${S}0011 212 555"

# harvest: flags, Plus, code, VAZ, DSN, TELEFON, FAX, EMAIL, WEITEMAIL
# (flags: 1 Suspress, 2 defaults, 4 narrow TAPI, 8 delete first)
seed harvest_fuzz basic "\x03${S}${S}${S}${S}K1${S}+49 89\t123456\tB\xc3\xbcro\r\n\r\n0049 (0)89 1\t\tHandy${S}089 99${S}a@b.de${S}x@y.de\r\n\r\n   "
seed harvest_fuzz narrow "\x07${S}${S}${S}${S}K2${S}0891234567890123\tRemark long\r\n1\t2\t\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac${S}${S}verylongaddress@example.com${S}"
seed harvest_fuzz delete_hostile "\x0b${S}${S}${S}${S}k' OR '1'='1${S}089 1${S}${S}${S}"
seed harvest_fuzz delete_comment "\x0b${S}${S}${S}${S}x'; DELETE FROM TAPI; --${S}089 1${S}${S}${S}"
seed harvest_fuzz nulls "\x03${S}${S}${S}${S}\x00${S}\x00${S}\x00${S}\x00${S}\x00"
seed harvest_fuzz six_lines "\x03${S}${S}${S}${S}K6${S}1\r\n2\r\nkeine\r\n4\r\n5\r\n6${S}7${S}${S}"
seed harvest_fuzz fax_split "\x03${S}${S}${S}${S}K7${S}${S}1\r\n2\t3${S}${S}"
seed harvest_fuzz bytes "\x07${S}${S}${S}${S}K8${S}089 1\t\t\xff\xfe\x80abc\x01\r\n\x00 5${S}\x7f9${S}\xc3${S}\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80"
seed harvest_fuzz config "\x01${S}+${S}${S}9${S}K9${S}+++\r\n+ 1${S}+${S}${S}"
seed harvest_fuzz own_prefix "\x03${S}${S}${S}${S}K11${S}(+49) (0)89\t123\r\n00 49 711\t9\r\nTel. +49-(0)30-1${S}0049 049 1${S} a@b.de \r${S} x@y.de\r\n\t\r\n"
seed harvest_fuzz nosuspress "\x02${S}${S}${S}${S}K10${S}+49 89\t123${S}+49 (0)40 2${S}${S}"

# get_phone: flags, DSN 1, IDX_NAME, IDX_NAME2, IDX_FIRMA, TELEFON 1, DSN 2, TELEFON 2, extra
# (flags: 1 second contact, 2 ask key 1, 4 ask key 2, 8 ask extra; high nibble: row + 2)
seed get_phone_fuzz two "\x57${S}A'1${S}M\xc3\xbc\tller\r\n${S}  ${S}F;--${S}089 \t 123\t B\xc3\xbcro\r\nNur\r\n\t\t\r\n+49 89\t1\tx${S}B\"2${S}1\r\n2${S}"
seed get_phone_fuzz extra "\x3a${S}A'1${S}Name${S}${S}${S}089 1${S}${S}${S}x'); DELETE FROM AD; --|A'1"
seed get_phone_fuzz nul_key "\x0a${S}K${S}N${S}${S}${S}1${S}${S}${S}a\x00b"
seed get_phone_fuzz empty_key "\x1b${S}${S}N${S}N2${S}F${S}\t\t\r\n5${S}${S}2${S}|"
seed get_phone_fuzz rows "\xf3${S}K1${S}N${S}\x00${S}\x00${S}a\r\n\r\n1\r\n\r\nb\r\n2${S}K2${S}${S}"
seed get_phone_fuzz tab_key "\x42${S}K\t1${S}N${S}${S}${S}1${S}${S}${S}"

# remove_string: text to remove, text
seed remove_string_fuzz basic "ab${S}xaabbby"
seed remove_string_fuzz crlf "\r\n${S}\r\r\n\n\r\n"
seed remove_string_fuzz overlap "aba${S}abababababa"
seed remove_string_fuzz nested "aab${S}aaaabbb"
seed remove_string_fuzz empty_remove "${S}text"
seed remove_string_fuzz separators "x${S}Tab\there\r\nCR\rLF\nend"

# filter: flags, value, raw text (flags: 0..3 previous filter, 4 raw text,
# 8/16 column name/code, 32 upper-case column, 64/128 blanks; byte 1 integer)
seed filter_fuzz code "\x10${S}DEU"
seed filter_fuzz quote "\x09${S}O'Brien"
seed filter_fuzz empty "\x08${S}"
seed filter_fuzz blanks "\x48${S} Blank "
seed filter_fuzz tab "\xa8${S}Tab\there"
seed filter_fuzz id "\x02${S}6"
seed filter_fuzz quotes "\x13${S}''"
seed filter_fuzz raw_unterminated "\x04${S}${S}name='a"
seed filter_fuzz raw_trailing "\x05${S}${S}code = 'DEU' extra"
seed filter_fuzz raw_column "\x06${S}${S}nosuch='x'"
seed filter_fuzz raw_nocolumn "\x07${S}${S}=''"
seed filter_fuzz raw_blank "\x04${S}${S}   "
seed filter_fuzz raw_or "\x04${S}${S}name='a' OR name='b'"
seed filter_fuzz int_zero "\x00\x01\x00"
seed filter_fuzz int_five "\x01\x01\x05"

# sql_ini: the file
seed sql_ini_fuzz sqlite "[Database]\nProvider=SQLite\nData Source=korvana.db\n"
seed sql_ini_fuzz postgres "[Database]\nProvider=PostgreSQL\nHost=/tmp/sock\nPort=5432\nDatabase=korvana\nUser ID=fw\nPassword=a;b\"c ; comment\n"
seed sql_ini_fuzz empty ""
seed sql_ini_fuzz binary "\x00\xff\xfe[\x01\n=\x80"
seed sql_ini_fuzz unknown "[Database]\nProvider=Oracle\n"
seed sql_ini_fuzz case "[database]\nPROVIDER = sqlite\ndata source = /abs/../x.db"
seed sql_ini_fuzz nosection "Provider=SQLite\nData Source=x.db\n"
seed sql_ini_fuzz nodatabase "[Database]\nProvider=PostgreSQL\nHost=h\n"
seed sql_ini_fuzz crlf "[Database]\r\nProvider=SQLite\r\nData Source=\"a;b\".db\r\n"
seed sql_ini_fuzz syntax "[Database\nProvider=SQLite\n"
seed sql_ini_fuzz quotes "[Database]\nProvider=PostgreSQL\nDatabase=x'; DROP DATABASE postgres; --\nUser ID=\" u \"\nPassword=\n"

# connection_string: the text
seed connection_string_fuzz sqlite "Provider=SQLite;Data Source=/abs/path/korvana.db"
seed connection_string_fuzz postgres "Provider=PostgreSQL;Host=h;Port=5432;Database=d;User ID=u;Password=\"p;w\"\"d\""
seed connection_string_fuzz pwd "pwd=secret; Password = 'x' ;"
seed connection_string_fuzz unterminated "Password=\"abc"
seed connection_string_fuzz noequals "Provider;Host=x"
seed connection_string_fuzz after_quote "Host=\"a\"b;Password=c"
seed connection_string_fuzz blanks " Host = \t a b \t ;;  ;Database=\" x \""
seed connection_string_fuzz empty_key "=value"

# lookup_request: flags, path, name 1, value 1, name 2, value 2, API key
# (flags: 1 the service has a secret, 2 key as parameter token, 4 no key)
seed lookup_request_fuzz number "\x00${S}/lookup${S}number${S}+49 (0)89 123456${S}x${S}${S}"
seed lookup_request_fuzz extension "\x00${S}/lookup${S}phone${S}089 123456 Durchwahl 99${S}number${S}${S}"
seed lookup_request_fuzz address "\x00${S}/lookup${S}telephone${S}MAX.meier@example.COM${S}${S}${S}"
seed lookup_request_fuzz empty "\x00${S}/lookup${S}number${S}   ${S}phone${S}089123456${S}"
seed lookup_request_fuzz alias_order "\x00${S}/lookup${S}phoneNumber${S}0043123456${S}number${S}0${S}"
seed lookup_request_fuzz quotes "\x00${S}/lookup${S}number${S}0'; DROP TABLE TAPI; --${S}${S}${S}"
seed lookup_request_fuzz bytes "\x00${S}/lookup${S}number${S}\xff\xfe\x00\"\\\\\n${S}${S}${S}"
seed lookup_request_fuzz secret "\x01${S}/lookup${S}number${S}089123456${S}${S}${S}s3cret"
seed lookup_request_fuzz token "\x03${S}/health${S}token${S}wrong${S}${S}${S}s3cret"
seed lookup_request_fuzz nokey "\x05${S}/health${S}${S}${S}${S}${S}s3cret"
seed lookup_request_fuzz path "\x00${S}/lookup/../health${S}number${S}1${S}${S}${S}"
seed lookup_request_fuzz tel_uri "\x00${S}/lookup${S}number${S}tel:+49-89-23456;ext=17;isub=9${S}${S}${S}"
seed lookup_request_fuzz sip_uri "\x00${S}/lookup${S}number${S}\"Raum 1\" <sip:+49%%2089%%20123456:pw@[::1]:5060;user=phone>;tag=3${S}${S}${S}"
seed lookup_request_fuzz unencoded_plus "\x00${S}/lookup${S}number${S} 49 89 123456${S}${S}${S}"
seed lookup_request_fuzz withheld "\x00${S}/lookup${S}number${S}sip:anonymous@anonymous.invalid${S}${S}${S}"
seed lookup_request_fuzz long "\x00${S}/lookup${S}number${S}0891234567890123456789012345678901234567890123456789${S}${S}${S}"
