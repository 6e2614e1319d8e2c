# Sourced by the tests that run JACK and jalv (jalv-host.sh, ui-jalv.sh).
#
# own_namespace FLAG SCRIPT ARG...: runs SCRIPT again, with FLAG set, in a
# mount namespace of its own (as an unprivileged user, a user namespace
# too); exits 77 (skipped) where none can be made.
own_namespace() {
  local flag=$1
  shift
  local ns=(unshare --mount --propagation private)
  [ "$(id -u)" -eq 0 ] || ns=(unshare --map-root-user --mount --propagation private)
  "${ns[@]}" true 2>/dev/null || { echo "cannot make a mount namespace (${ns[*]}): skipped"; exit 77; }
  export "$flag=1"
  exec "${ns[@]}" "$@"
}

# private_mounts PATH...: inside it, a /dev/shm of the test's own (where JACK
# keeps its shared memory, sockets and registry) and a /tmp of its own too
# (jalv makes a directory there that it removes only when it exits
# normally), unless one of the test's PATHs lies in /tmp.
private_mounts() {
  mount -t tmpfs -o size=256m,mode=1777 quorvane-jack /dev/shm
  case " $* " in
    *" /tmp/"*) ;;
    *) mount -t tmpfs -o size=64m,mode=1777 quorvane-tmp /tmp ;;
  esac
}
