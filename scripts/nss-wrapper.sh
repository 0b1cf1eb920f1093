#!/usr/bin/env bash
# Prints the path of an nss_wrapper library that this machine can preload and that
# serves the password file given, so a program finds its home directory (~/.mobu)
# there and not in the real one.  Libraries of this machine's own architecture are
# tried first (an arm64 copy installed for the cross build can't be preloaded here:
# ld.so would skip it with a warning and the program would use the real home).
# Fails with a message and status 1 when none works.
#
#   scripts/nss-wrapper.sh PASSWD GROUP [DIR...]   search DIRs (default /usr/lib /lib)
set -euo pipefail
passwd="$1"
group="$2"
shift 2
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=(/usr/lib /lib)

arch="$(gcc -print-multiarch 2>/dev/null || dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || true)"
candidates=()
for d in "${dirs[@]}"; do
    [ -z "$arch" ] || [ ! -d "$d/$arch" ] || while IFS= read -r f; do candidates+=("$f"); done < <(find "$d/$arch" -name libnss_wrapper.so 2>/dev/null | sort)
done
for d in "${dirs[@]}"; do
    while IFS= read -r f; do candidates+=("$f"); done < <(find "$d" -name libnss_wrapper.so 2>/dev/null | sort)
done

uid="$(id -u)"
want="$(awk -F: -v u="$uid" '$3 == u { print; exit }' "$passwd")"
for lib in "${candidates[@]}"; do
    # The proof: with it preloaded the password database answers from our file, and ld.so is silent.
    err="$(mktemp)"
    got="$(LD_PRELOAD="$lib" NSS_WRAPPER_PASSWD="$passwd" NSS_WRAPPER_GROUP="$group" getent passwd "$uid" 2>"$err" || true)"
    if [ -n "$want" ] && [ "$got" = "$want" ] && [ ! -s "$err" ]; then
        rm -f "$err"
        echo "$lib"
        exit 0
    fi
    rm -f "$err"
done
echo "error: no libnss_wrapper.so under ${dirs[*]} can be preloaded on this machine ($(uname -m)) to serve $passwd;" \
    "tried: ${candidates[*]:-none}. Install the package of this machine's architecture (libnss-wrapper)." >&2
exit 1
