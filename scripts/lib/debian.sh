# Installs Debian packages for the scripts that need them. Sourced, not run.

# install_debian_packages [APT-OPTION...] PACKAGE...: installs those of the
# packages that are missing (with sudo unless root) and says which were
# wanted. Everything it prints goes to stderr, so a script whose output is a
# result (a path) can call it too. Options (words starting with '-') go to
# apt-get install.
install_debian_packages() {
  local options=() packages=() missing=() p sudo=""
  for p in "$@"; do
    case "$p" in -*) options+=("$p") ;; *) packages+=("$p") ;; esac
  done
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "installing: ${missing[*]}" >&2
    $sudo apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
  fi
  echo "installed: ${packages[*]}" >&2
}
