#!/usr/bin/env bash
# Runs every hct-sim and ./run.sh command line of the code blocks of README.md and docs/*.md (which
# hold none today) as printed, from a scratch copy of the repository's examples/ and tests/wine/ (so
# that the files a command writes land there), with build/host-release/bin/hct-sim the program
# under test. Each must exit 0, as the README's
# words around them say; the sample output of ./run.sh must be what the program prints.
# ./run.sh builds the program first: the scratch copy's run.sh is the real one's last line (the run
# of the program it built) alone, and its last line is checked to be that.
# Usage: readme-examples.sh HCT_SIM_BINARY REPOSITORY_ROOT
set -uo pipefail
binary=$(realpath "${1:?usage: readme-examples.sh HCT_SIM_BINARY REPOSITORY_ROOT}")
root=$(realpath "${2:?usage: readme-examples.sh HCT_SIM_BINARY REPOSITORY_ROOT}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/hct-readme-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$scratch/build/host-release/bin" "$scratch/tests"
ln -s "$binary" "$scratch/build/host-release/bin/hct-sim"
cp -R "$root/examples" "$scratch/examples"
cp -R "$root/tests/wine" "$scratch/tests/wine"
last=$(tail -n 1 "$root/run.sh")
if [[ "$last" != 'exec build/host-release/bin/hct-sim run "$@"' ]]; then
  echo "run.sh no longer ends by running build/host-release/bin/hct-sim run: $last"
  exit 1
fi
printf '#!/usr/bin/env bash\ncd "$(dirname "$0")"\n%s\n' "$last" >"$scratch/run.sh"
chmod +x "$scratch/run.sh"

# The command lines: in a ``` block, beginning with one of the two commands; a trailing "# ..." is
# the README's comment.
mapfile -t commands < <(awk 'FNR == 1 { block = 0 } /^```/ { block = !block; next }
  block && ($0 ~ /^build\/host-release\/bin\/hct-sim( |$)/ || $0 ~ /^\.\/run\.sh( |$)/) {
    sub(/[ \t]+#.*$/, ""); print }' "$root/README.md" "$root"/docs/*.md)
if ((${#commands[@]} < 10)); then
  echo "only ${#commands[@]} command lines found in README.md"
  exit 1
fi

failed=0
for command in "${commands[@]}"; do
  output=$(cd "$scratch" && bash -c "$command" </dev/null 2>&1)
  rc=$?
  if ((rc != 0)); then
    echo "FAIL (exit $rc): $command"
    sed 's/^/    /' <<<"$output" | head -n 20
    failed=1
  else
    echo "ok: $command"
  fi
done

# The sample output under "./run.sh builds ...": the block that begins with the program's first line.
expected=$(awk '/^```/ { if (block && taking) exit; block = !block; next }
  block && /^hct-sim run: one mouse session/ { taking = 1 } taking { print }' "$root/README.md")
actual=$(cd "$scratch" && ./run.sh)
if [[ -z "$expected" || "$expected" != "$actual" ]]; then
  echo "FAIL: ./run.sh does not print the README's sample output:"
  diff <(echo "$expected") <(echo "$actual") | head -n 30
  failed=1
else
  echo "ok: ./run.sh prints the README's sample output"
fi
exit $failed
