#!/bin/sh
# The least a lease script can do: put the leased address and default route on the link.
case "$1" in
bound | renew)
    ip addr add "$ip/$subnet" dev "$interface"
    [ -n "$router" ] && ip route add default via "${router%% *}" dev "$interface"
    ;;
esac
exit 0
