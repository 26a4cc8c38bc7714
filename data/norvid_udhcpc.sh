#!/bin/sh
# udhcpc lease script of norvid.
#
# It only reports: on bound and renew it prints the lease as NORVID_... lines ending with
# NORVID_FINISHED, and the daemon applies address, route and resolver settings itself. Every
# other event (deconfig, leasefail, nak) prints nothing, because what happens to the interface
# then is the daemon's decision, not the script's.
#
# Every value comes from the DHCP server. Each is cut down to the characters its kind can
# legitimately hold and everything else becomes a blank, so that no server can end a line, start
# a line of its own, change a key or slip a NORVID_FINISHED marker into the output.

set -f

# Turns every byte of $2 that is not in the tr set $1 into a blank.
keep() {
    printf '%s' "$2" | tr -c "$1" ' '
}

# IPv4 addresses in dotted form, blank separated.
addresses() {
    keep '0-9. ' "$1"
}

# Domain names: letters, digits, dots and hyphens, blank separated. The underscore is left out
# on purpose: without it no value can spell a NORVID_ key or the marker.
names() {
    keep 'A-Za-z0-9. -' "$1"
}

# The first blank-separated word of $1.
first() {
    set -- $1
    printf '%s' "${1-}"
}

# The words of $1 without repeats, in their first order, blank separated.
unique() {
    result=
    for word in $1; do
        case " $result " in
        *" $word "*) ;;
        *) result="${result:+$result }$word" ;;
        esac
    done
    printf '%s' "$result"
}

# One printf, so that the whole report normally reaches the daemon in one write.
report() {
    printf 'NORVID_IP=%s\nNORVID_NETMASK=%s\nNORVID_GATEWAY=%s\nNORVID_DNS=%s\nNORVID_DOMAIN=%s\nNORVID_FINISHED\n' \
        "$(first "$(addresses "${ip-}")")" \
        "$(first "$(addresses "${subnet-}")")" \
        "$(unique "$(addresses "${router-}")")" \
        "$(unique "$(addresses "${dns-}")")" \
        "$(unique "$(names "${domain-} ${search-}")")"
}

case "${1-}" in
bound | renew)
    report
    ;;
esac

exit 0
