# Running arm64 programs on an x86_64 machine through qemu-user-static;
# sourced, not run. Needs root (binfmt_misc is the kernel's, for the whole
# machine). What this file turns on, arm64_emulation_off turns off again:
# the arm64 handler if it registered it, binfmt_misc if it mounted it.

binfmt=/proc/sys/fs/binfmt_misc
arm64_binfmt_mounted=""
arm64_binfmt_registered=""

# Debian's qemu-user-static and debootstrap, installed when missing (as root).
ensure_arm64_tools() {
    local missing=()
    [[ -x /usr/libexec/qemu-binfmt/aarch64-binfmt-P ]] || missing+=(qemu-user-static)
    command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
    (( ${#missing[@]} )) || return 0
    if (( EUID != 0 )); then
        echo "error: running the arm64 wheel needs ${missing[*]} (apt-get install ${missing[*]}) and root" >&2
        return 1
    fi
    echo "== installing ${missing[*]}"
    apt_install "${missing[@]}"
}

# Registers qemu for arm64 ELF files with the F flag: the kernel opens the
# emulator now, so it also runs programs inside a chroot that lacks it.
arm64_emulation_on() {
    if (( EUID != 0 )); then
        echo "error: running the arm64 wheel under qemu needs root (binfmt_misc)" >&2
        return 1
    fi
    if [[ ! -e $binfmt/register ]]; then
        mount -t binfmt_misc binfmt_misc "$binfmt"
        arm64_binfmt_mounted=1
    fi
    if [[ ! -e $binfmt/qemu-aarch64 ]]; then
        # Debian's own rule for the handler (magic, mask, emulator, flags).
        grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf > "$binfmt/register"
        arm64_binfmt_registered=1
    fi
    if [[ $(head -1 "$binfmt/qemu-aarch64") != enabled ]]; then
        echo "error: the arm64 handler in $binfmt is disabled" >&2
        return 1
    fi
}

arm64_emulation_off() {
    if [[ -n $arm64_binfmt_registered && -e $binfmt/qemu-aarch64 ]]; then
        echo -1 > "$binfmt/qemu-aarch64" || true
    fi
    if [[ -n $arm64_binfmt_mounted ]]; then
        umount "$binfmt" || true
    fi
}
