#!/usr/bin/env bash
# with-loopback-servers.sh -- command [args...]
#
# Runs a command in a network namespace of its own, where only loopback
# exists, with the servers the delivery tests send to:
#   DNS   dnsmasq on 127.0.0.1:53, the namespace's only name server
#         (/etc/resolv.conf is replaced inside): example.test's mail
#         exchanger is mx.example.test, other.test's mx.other.test (via a
#         second, less preferred record too), nomx.test has none; every
#         name in .test outside these does not exist.
#   SMTP  on 127.0.0.1:$TAVRIX_SMTP_PORT (2525); each accepted message is
#         a file in $TAVRIX_MAIL_DIR. AUTH LOGIN accepts reporter/s3cret.
#   HTTP  on 127.0.0.1:$TAVRIX_HTTP_PORT (8080): a POST to /upload (or to
#         /private, with Basic reporter:s3cret) is a file in $TAVRIX_WEB_DIR.
#   FTP   on 127.0.0.1:$TAVRIX_FTP_PORT (2121), user reporter/s3cret, its
#         root $TAVRIX_FTP_DIR.
#   HTTPS the same upload page on 127.0.0.1:$TAVRIX_HTTPS_PORT (8443) with a
#         certificate for "web.example.test" (resolving to 127.0.0.1) from a
#         test authority this namespace trusts (the system's CA bundle is
#         replaced inside), and on $TAVRIX_HTTPS_UNTRUSTED_PORT (8444) with a
#         self-signed one nobody trusts.
# Nothing can reach any other address. The servers end with the command,
# whose exit status is returned.
set -euo pipefail
[ "${1:-}" = "--" ] || { echo "usage: $0 -- command [args...]" >&2; exit 2; }
shift

if [ -z "${TAVRIX_IN_LOOPBACK_NS:-}" ]; then
  export TAVRIX_IN_LOOPBACK_NS=1
  # As root no user namespace is needed (and Wine's server, found by the
  # user id, stays the one already running).
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net --mount -- "$0" -- "$@"
  else
    exec unshare --map-root-user --net --mount -- "$0" -- "$@"
  fi
fi

HERE=$(cd "$(dirname "$0")" && pwd)

# Wine's sockets are made by its server process, not by the program: a Wine
# server already running outside (found through a wine-* folder in /tmp)
# would open them in the machine's network. This namespace gets a /tmp of
# its own without those folders, so the first Wine program here starts a
# server here, which ends with the command; everything else in /tmp (the X
# display's sockets, a checkout under /tmp) is carried over.
KEEP=$(mktemp -d "${XDG_CACHE_HOME:-$HOME/.cache}/tavrix-tmp.XXXXXX")
mount --bind /tmp "$KEEP"
mount -t tmpfs -o mode=1777 tmpfs /tmp
shopt -s dotglob nullglob
for entry in "$KEEP"/*; do
  name=${entry##*/}
  case $name in wine-* | .wine-*) continue ;; esac
  if [ -L "$entry" ]; then
    cp -P "$entry" "/tmp/$name"
  elif [ -d "$entry" ]; then
    mkdir "/tmp/$name" && mount --bind "$entry" "/tmp/$name"
  else
    touch "/tmp/$name" && mount --bind "$entry" "/tmp/$name"
  fi
done
shopt -u dotglob nullglob
umount -l "$KEEP"
rmdir "$KEEP"

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

ip link set lo up
echo "nameserver 127.0.0.1" >"$WORK/resolv.conf"
mount --bind "$WORK/resolv.conf" /etc/resolv.conf

dnsmasq --keep-in-foreground --port=53 --listen-address=127.0.0.1 --bind-interfaces --no-resolv --no-hosts \
  --user="$(id -un)" --pid-file="$WORK/dnsmasq.pid" --local=/test/ \
  --mx-host=example.test,mx.example.test,10 --host-record=mx.example.test,127.0.0.1 \
  --mx-host=other.test,mx.other.test,5 --mx-host=other.test,backup.other.test,20 \
  --host-record=mx.other.test,127.0.0.1 --host-record=backup.other.test,127.0.0.1 \
  --host-record=nomx.test,127.0.0.1 --host-record=web.example.test,127.0.0.1 --log-facility="$WORK/dnsmasq.log" &
PIDS+=($!)

export TAVRIX_SMTP_PORT=2525 TAVRIX_MAIL_DIR=$WORK/mail
mkdir -p "$TAVRIX_MAIL_DIR"
/usr/bin/python3 "$HERE/servers/smtp_server.py" 127.0.0.1 "$TAVRIX_SMTP_PORT" "$TAVRIX_MAIL_DIR" \
  2>"$WORK/smtp.log" &
PIDS+=($!)

export TAVRIX_HTTP_PORT=8080 TAVRIX_WEB_DIR=$WORK/web
mkdir -p "$TAVRIX_WEB_DIR"
/usr/bin/python3 "$HERE/servers/web_server.py" 127.0.0.1 "$TAVRIX_HTTP_PORT" "$TAVRIX_WEB_DIR" \
  2>"$WORK/web.log" &
PIDS+=($!)

# The test authority and the certificates (made anew for each run).
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tavrix Test Authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$WORK/ca.key" -out "$WORK/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=web.example.test" -keyout "$WORK/web.key" -out "$WORK/web.csr" \
  2>/dev/null
printf 'subjectAltName=DNS:web.example.test\nextendedKeyUsage=serverAuth\n' >"$WORK/web.ext"
openssl x509 -req -in "$WORK/web.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -CAcreateserial -days 2 \
  -extfile "$WORK/web.ext" -out "$WORK/web.pem" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=web.example.test" \
  -addext "subjectAltName=DNS:web.example.test" -keyout "$WORK/self.key" -out "$WORK/self.pem" 2>/dev/null
cp "$WORK/ca.pem" "$WORK/ca-bundle.crt"
for bundle in /etc/ssl/certs/ca-certificates.crt /etc/pki/tls/certs/ca-bundle.crt; do
  if [ -f "$bundle" ]; then mount --bind "$WORK/ca-bundle.crt" "$bundle"; fi
done
export TAVRIX_HTTPS_PORT=8443 TAVRIX_HTTPS_UNTRUSTED_PORT=8444
/usr/bin/python3 "$HERE/servers/web_server.py" 127.0.0.1 "$TAVRIX_HTTPS_PORT" "$TAVRIX_WEB_DIR" \
  "$WORK/web.pem" "$WORK/web.key" 2>"$WORK/https.log" &
PIDS+=($!)
/usr/bin/python3 "$HERE/servers/web_server.py" 127.0.0.1 "$TAVRIX_HTTPS_UNTRUSTED_PORT" "$TAVRIX_WEB_DIR" \
  "$WORK/self.pem" "$WORK/self.key" 2>"$WORK/https.log" &
PIDS+=($!)

export TAVRIX_FTP_PORT=2121 TAVRIX_FTP_DIR=$WORK/ftp
mkdir -p "$TAVRIX_FTP_DIR"
/usr/bin/python3 "$HERE/servers/ftp_server.py" 127.0.0.1 "$TAVRIX_FTP_PORT" "$TAVRIX_FTP_DIR" \
  2>"$WORK/ftp.log" &
PIDS+=($!)

# Every server answers before the command starts.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in $(seq 100); do
  if listening "$TAVRIX_SMTP_PORT" && listening "$TAVRIX_HTTP_PORT" && listening "$TAVRIX_FTP_PORT" &&
    listening "$TAVRIX_HTTPS_PORT" && listening "$TAVRIX_HTTPS_UNTRUSTED_PORT" &&
    [ -s "$WORK/dnsmasq.pid" ]; then
    break
  fi
  sleep 0.1
done

status=0
"$@" || status=$?
# This namespace's Wine server saves the registry before the namespace goes.
if [ -n "${TAVRIX_WINE_ARCH:-}" ]; then
  . "$HERE/../../scripts/wine-arch.sh"
  wineserver -w 2>/dev/null || true
fi
if [ "$status" != 0 ]; then
  for server in smtp web https ftp; do
    echo "--- $server server log" >&2; tail -n 30 "$WORK/$server.log" >&2 || true
  done
fi
exit "$status"
