# Shell functions the scripts that run programs on the virtual board share (sourced, not run).

# scratch_home DIR HOME: writes DIR/passwd and DIR/group naming HOME as this user's home, and
# sets the array home_env to the environment under which a program finds that home through the
# password database (the nss_wrapper of this machine's architecture, proven by
# scripts/nss-wrapper.sh to serve the file; it fails loudly when there is none, since the
# program would otherwise use the real home).
scratch_home() {
    local dir="$1" home="$2" wrapper
    echo "$(id -un):x:$(id -u):$(id -g):mobu:$home:/bin/sh" >"$dir/passwd"
    echo "$(id -gn):x:$(id -g):" >"$dir/group"
    wrapper="$("$root/scripts/nss-wrapper.sh" "$dir/passwd" "$dir/group")"
    home_env=(HOME="$home" LD_PRELOAD="$wrapper" NSS_WRAPPER_PASSWD="$dir/passwd" NSS_WRAPPER_GROUP="$dir/group")
}

# loop_shm CFG: prints the name of the shared memory of the board's loop that the asound.conf
# CFG configures, after removing what an earlier run may have left under that name.
loop_shm() {
    local name
    name="$(sed -n 's/^ *shm "\(mobuloop-[0-9]*-[0-9]*\)"$/\1/p' "$1" | head -n 1)"
    rm -f /dev/shm/"$name" /dev/shm/"$name"-programme
    echo "$name"
}
