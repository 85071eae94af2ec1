# Sourced by scripts/test.sh and scripts/bench.sh (after they set repo and,
# optionally, clean_build): entering the shared FFmpeg 9.0 root made by
# scripts/ffmpeg9-root.sh with a copy of the working tree.

as_root() {
  if ((EUID == 0)); then "$@"; else sudo "$@"; fi
}

root_dir=$(realpath -m -- "${VANTLE_FFMPEG9_ROOT:-/var/cache/vantle-video-runtime/ffmpeg9-root}")
# Where the copy of the tree and its builds live inside the root: one folder
# per working tree, named after its path, since the copy keeps file times and
# objects built from another tree's files could look current.
chroot_work=/root/vantle-ci/$(printf '%s' "${repo#/}" | tr -c 'A-Za-z0-9._-' '_')
clean_build=${clean_build:-0}

# The files of the working tree that git would commit: tracked ones still
# present and untracked ones not ignored. Without git, everything but build
# folders.
list_source_files() {
  if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$repo" ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        if [[ -e $repo/$file || -L $repo/$file ]]; then printf '%s\0' "$file"; fi
      done
  else
    (cd "$repo" && find . -path ./.git -prune -o -path './build*' -prune -o -type f -print0)
  fi
}

chroot_mounts=()
unmount_chroot() {
  local i
  for ((i = ${#chroot_mounts[@]} - 1; i >= 0; i--)); do
    as_root umount "${chroot_mounts[i]}" 2>/dev/null || as_root umount -l "${chroot_mounts[i]}" ||
      echo "could not unmount ${chroot_mounts[i]}" >&2
  done
  chroot_mounts=()
}

mount_in_chroot() {
  local target=$root_dir/$1
  shift
  # A run that was killed may have left it mounted.
  if mountpoint -q -- "$target"; then
    as_root umount -l -- "$target"
  fi
  as_root mount "$@" "$target"
  chroot_mounts+=("$target")
}

# Takes the shared FFmpeg 9.0 root (creating or updating it), copies the tree
# into it and mounts what the tests need; sets in_root (the command prefix
# that runs inside), source_dir and build_dir (named $1, inside the root).
enter_ffmpeg9_root() {
  # One run at a time uses (or rebuilds) the shared root. The lock is opened
  # for reading, so a developer without root can take it too.
  as_root mkdir -p -- "$(dirname -- "$root_dir")"
  as_root touch -- "$root_dir.lock"
  exec 9<"$root_dir.lock"
  if ! flock -n 9; then
    echo "waiting for another run that uses $root_dir"
    flock 9
  fi
  VANTLE_FFMPEG9_ROOT_LOCK_HELD=1 bash "$repo/scripts/ffmpeg9-root.sh" "$root_dir"

  in_root=(as_root chroot "$root_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

  # A fresh copy of the tree each run; file times are kept, so the build
  # folder beside it stays incremental. A clean run (CI) removes both
  # afterwards: its clone will not come back.
  source_dir=$chroot_work/src
  build_dir=$chroot_work/$1
  as_root rm -rf --one-file-system -- "$root_dir$source_dir"
  as_root mkdir -p -- "$root_dir$source_dir"
  list_source_files | (cd "$repo" && tar --null -T - -cf -) | as_root tar -xf - -C "$root_dir$source_dir"
  if [[ $clean_build == 1 ]]; then
    as_root rm -rf --one-file-system -- "$root_dir$build_dir"
  fi
  as_root mkdir -p -- "$root_dir$build_dir"

  if [[ $clean_build == 1 ]]; then
    trap 'unmount_chroot; as_root rm -rf --one-file-system -- "$root_dir$chroot_work"' EXIT
  else
    trap unmount_chroot EXIT
  fi
  trap 'exit 130' INT TERM HUP
  mount_in_chroot proc -t proc proc
  mount_in_chroot dev/shm -t tmpfs -o mode=1777,size=1g tmpfs
}
