#!/usr/bin/env bash
# What the helper costs on a card: datagrams per second into and out of port 67 of a veth card in
# a network namespace, for a member of the group dhcpanvil (uid 65534), through two helpers side by
# side. Figures only, nothing is asserted. A helper that passes the socket is used directly; one
# that keeps it is spoken to through its relay. The same Python client runs both, so its own cost
# is in both columns.
#
# Usage (as root): bash scripts/bench-relay.sh [build folder]
#   BEFORE=path   the helper to compare with (default: none, only this build's)
#   COUNT=n       datagrams per direction (default 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
helpers=("$build/libexec/dhcpanvil/dhcpanvil-helper")
[ -n "${BEFORE:-}" ] && helpers=("$BEFORE" "${helpers[@]}")
count=${COUNT:-20000}
[ "$(id -u)" = 0 ] || { echo "bench-relay: run as root (namespaces, setcap)" >&2; exit 1; }
getent group dhcpanvil >/dev/null || groupadd -r dhcpanvil
gid=$(getent group dhcpanvil | cut -d: -f3)
ns=anvil-bench-relay-$$
work=$(mktemp -d /tmp/anvil-bench-relay-XXXXXX)
cleanup() { ip netns delete "$ns" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
chmod 755 "$work"
ip netns add "$ns"
ip -n "$ns" link add en0 type veth peer name peer0
ip -n "$ns" address add 10.8.0.1/24 dev en0
for card in lo en0 peer0; do ip -n "$ns" link set "$card" up; done

cat >"$work/client.py" <<'PY'
import os, select, socket, struct, sys, time
helper, gid, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
payload = bytes(300)

def frame():
    # 0.0.0.0:68 to 255.255.255.255:67, as a client's DISCOVER travels
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28 + len(payload), 0, 0, 64, 17, 0, bytes(4), b"\xff" * 4)
    total = sum(struct.unpack("!10H", ip))
    while total >> 16: total = (total & 0xFFFF) + (total >> 16)
    ip = ip[:10] + struct.pack("!H", ~total & 0xFFFF) + ip[12:]
    return b"\xff" * 6 + b"\x02\0\0\0\0\x01" + b"\x08\x00" + ip + struct.pack("!HHHH", 68, 67, 8 + len(payload), 0) + payload

peer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0)
peer.bind(("peer0", 0))
ready_r, ready_w = os.pipe()
member = os.fork()
if member == 0:
    os.setgroups([gid]); os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534)
    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    c, d = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    if os.fork() == 0:
        os.dup2(b.fileno(), 3, inheritable=True); os.dup2(d.fileno(), 4, inheritable=True)
        os.execv(helper, ["dhcpanvil-helper"])
    b.close(); d.close()
    a.send(b"en0 67\n")
    line, anc, _, _ = a.recvmsg(256, socket.CMSG_SPACE(4))
    fds = [struct.unpack("i", data[:4])[0] for level, kind, data in anc if kind == socket.SCM_RIGHTS]
    direct = socket.socket(fileno=fds[0]) if fds else None
    receiver = direct or a
    receiver.setblocking(True)
    os.write(ready_w, b"+")
    got, start, last = 0, None, None
    while got < count:
        if not select.select([receiver], [], [], 1.0)[0]: break
        receiver.recv(4096)
        last = time.perf_counter(); start = start or last; got += 1
    received = (got, (got - 1) / (last - start) if got > 1 else 0.0)
    start = time.perf_counter()
    header = struct.pack("!BIH", 4, 0xFFFFFFFF, 68)
    for _ in range(count):
        if direct: direct.sendto(payload, ("255.255.255.255", 68))
        else:
            c.send(header + payload)
            c.recv(16)
    sent = count / (time.perf_counter() - start)
    print("%-8s %9d of %d  %12.0f  %12.0f" % ("relay" if not direct else "direct", received[0], count, received[1], sent))
    os._exit(0)
os.read(ready_r, 1)
blob = frame()
for _ in range(count): peer.send(blob)
os.waitpid(member, 0)
PY

printf "%-44s %-8s %20s  %12s  %12s\n" "helper" "socket" "received" "in/s" "out/s"
for helper in "${helpers[@]}"; do
  copy=$work/$(echo "$helper" | md5sum | cut -c1-8)-dhcpanvil-helper
  cp "$helper" "$copy"
  chown root:dhcpanvil "$copy"
  chmod 0750 "$copy"
  setcap cap_net_bind_service,cap_net_raw+ep "$copy"
  printf "%-44s " "$helper"
  ip netns exec "$ns" python3 "$work/client.py" "$copy" "$gid" "$count"
done
