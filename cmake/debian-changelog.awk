# Turns CHANGELOG.md into a Debian changelog, the one a native package carries as changelog.gz.
# Each "## VERSION (DATE)" section becomes an entry, DATE being a day such as 2026-12-08 with
# an optional UTC time (2026-12-08 16:00) to order releases made on the same day. Each paragraph
# and each "- " item becomes a "*" line, wrapped to 80 columns.
#   awk -v package=NAME -v maintainer="NAME <ADDRESS>" -f debian-changelog.awk CHANGELOG.md

function flush_item(    words, n, i, line) {
    if (item == "") return
    n = split(item, words, " ")
    line = "  *"
    for (i = 1; i <= n; i++) {
        if (length(line) + 1 + length(words[i]) > 80) {
            print line
            line = "   "
        }
        line = line " " words[i]
    }
    print line
    item = ""
}

function close_entry() {
    flush_item()
    if (version != "") printf "\n -- %s  %s\n", maintainer, date
}

/^## / {
    close_entry()
    if (version != "") print ""
    version = $2
    match($0, /\([^)]*\)/)
    command = "date -u -R -d '" substr($0, RSTART + 1, RLENGTH - 2) " UTC'"
    command | getline date
    close(command)
    printf "%s (%s) stable; urgency=medium\n\n", package, version
    next
}
version == "" { next }
/^$/ { flush_item(); next }
/^- / { flush_item(); item = substr($0, 3); next }
/^  / { item = item " " substr($0, 3); next }
{ item = (item == "" ? $0 : item " " $0) }

END { close_entry() }
