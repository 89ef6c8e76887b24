#!/usr/bin/env bash
# apt-src.sh SOURCE...: prints deb-src stanzas for the machine's own deb sources,
# so that apt-get source fetches from the mirror apt already uses. Each SOURCE is
# a one-line list file (sources.list) or a folder of *.sources and *.list files.
# Every enabled deb entry gets its deb-src twin, not only the one that carries
# Debian's archive: on a machine with a mirror of its own that one cannot be told
# by its URI, and a repository without sources costs apt-get update a warning only.
set -euo pipefail
. "$(dirname "$0")/session.sh"

files=()
for arg in "$@"; do
  if [ -d "$arg" ]; then
    for f in "$arg"/*.sources "$arg"/*.list; do
      # The deb-src file this feeds is never read back: it follows, never leads.
      if [ -f "$f" ] && [ "${f##*/}" != gatewright-src.sources ]; then files+=("$f"); fi
    done
  elif [ -f "$arg" ]; then
    files+=("$arg")
  fi
done

stanzas=
[ ${#files[@]} = 0 ] || stanzas=$(awk '
  function emit(uris, suites, components, key, trusted) {
    printf "%sTypes: deb-src\nURIs: %s\nSuites: %s\n", (n++ ? "\n" : ""), uris, suites
    if (components != "") print "Components: " components
    if (key != "") print "Signed-By: " key
    if (trusted != "") print "Trusted: " trusted
  }
  # deb822: fields gathered per stanza; continuation lines (an inline key) kept as they are.
  function stanza_end() {
    if (f["types"] ~ /(^|[ \t])deb([ \t]|$)/ && tolower(f["enabled"]) !~ /^(no|false|off|without|disable|0)$/)
      emit(f["uris"], f["suites"], f["components"], f["signed-by"], f["trusted"])
    split("", f)
    name = ""
  }
  FNR == 1 { stanza_end() }
  /^#/ { next }  # a comment line, in either format
  FILENAME ~ /\.sources$/ {
    if ($0 ~ /^[ \t]*$/) stanza_end()
    else if ($0 ~ /^[ \t]/) { if (name != "") f[name] = f[name] "\n" $0 }
    else if ((colon = index($0, ":")) > 0) {
      name = tolower(substr($0, 1, colon - 1))
      f[name] = substr($0, colon + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", f[name])
    }
    next
  }
  # One-line: deb [OPTION=VALUE ...] URI SUITE [COMPONENT...]
  {
    sub(/#.*/, "")
    if ($1 != "deb") next
    i = 2
    options = ""
    if ($2 ~ /^\[/) {
      for (; i <= NF; i++) { options = options " " $i; if ($i ~ /\]$/) break }
      i++
    }
    gsub(/\[|\]/, " ", options)
    key = match(options, /signed-by=[^ \t]+/) ? substr(options, RSTART + 10, RLENGTH - 10) : ""
    trusted = match(options, /trusted=[^ \t]+/) ? substr(options, RSTART + 8, RLENGTH - 8) : ""
    components = ""
    for (j = i + 2; j <= NF; j++) components = components (j > i + 2 ? " " : "") $j
    emit($i, $(i + 1), components, key, trusted)
  }
  END { stanza_end() }
' "${files[@]}")
[ -n "$stanzas" ] || die "no enabled deb entries in $* (*.sources, *.list) to take deb-src entries from; set up the machine's package sources first"
printf '%s\n' "$stanzas"
