#!/bin/sh
# udhcpc lease script of norvid.
#
# It only reports: on bound and renew it prints the lease as NORVID_... lines ending with
# NORVID_FINISHED, and the daemon applies address, route and resolver settings itself. Every
# other event (deconfig, leasefail, nak) prints nothing, because what happens to the interface
# then is the daemon's decision, not the script's.
#
# Every value comes from the DHCP server. A word of a value that holds a character its kind
# cannot legitimately hold is dropped whole, with a line on standard error (the daemon logs it):
# cutting the word apart instead would turn one bad search domain into several new ones. So no
# server can end a line, start a line of its own, change a key or slip a NORVID_FINISHED marker
# into the report.
#
# The script runs on every lease and renewal, between udhcpc receiving the lease and the daemon
# applying it: it uses shell built-ins only and starts no process.

set -f

# The character sets are spelt out rather than given as ranges, whose meaning depends on the
# locale. The underscore is left out of both on purpose: without it no value can spell a
# NORVID_ key or the marker.
ADDRESS_CHARACTERS='0123456789.'
NAME_CHARACTERS='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-'

# Sets $words to the blank-separated words of $3 made only of characters of the set $2, each
# once, in their first order. $1 names the kind of value for the log line.
keep_words() {
    words=
    for word in $3; do
        case $word in
        *[!$2]*)
            drop "$1" "$2" "$word"
            continue
            ;;
        esac
        case " $words " in
        *" $word "*) ;;
        *) words="${words:+$words }$word" ;;
        esac
    done
}

# Logs a dropped word, its offending characters shown as '?' and cut to a readable length. Only
# bad input gets here, so the processes this takes cost nothing on a good lease.
drop() {
    printf 'norvid_udhcpc: dropping %s "%s": it holds a character that has no place there\n' \
        "$1" "$(printf '%s' "$3" | tr -c "$2" '?' | head -c 64)" >&2
}

# One printf, so that the whole report normally reaches the daemon in one write.
report() {
    keep_words address "$ADDRESS_CHARACTERS" "${ip-}"
    address=${words%% *}
    keep_words netmask "$ADDRESS_CHARACTERS" "${subnet-}"
    netmask=${words%% *}
    keep_words router "$ADDRESS_CHARACTERS" "${router-}"
    routers=$words
    keep_words "name server" "$ADDRESS_CHARACTERS" "${dns-}"
    servers=$words
    keep_words "domain" "$NAME_CHARACTERS" "${domain-} ${search-}"
    printf 'NORVID_IP=%s\nNORVID_NETMASK=%s\nNORVID_GATEWAY=%s\nNORVID_DNS=%s\nNORVID_DOMAIN=%s\nNORVID_FINISHED\n' \
        "$address" "$netmask" "$routers" "$servers" "$words"
}

case "${1-}" in
bound | renew)
    report
    ;;
esac

exit 0
