# Sourced by the stub's benchmarks from the project's root, with `bench_targets` naming
# what they build beside the program: starts the build's test prefix and installs a
# stand-in application (stamp_app, which notes when it starts) as version 9.9.9, nothing
# staged. Sets `user`, `root` and `root_win`; at exit runs `bench_cleanup` (when the
# script defines it), removes the installation and ends the prefix's server.
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
# shellcheck disable=SC2086  # a list of targets
cmake --build --preset mingw --target BrindlewickSetup launch_bench stamp_app $bench_targets \
  >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
root="$WINEPREFIX/drive_c/users/$user/AppData/Local/Brindlewick"
root_win="C:\\users\\$user\\AppData\\Local\\Brindlewick"
trap 'command -v bench_cleanup >/dev/null && bench_cleanup; rm -rf "$root";
  wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
rm -rf "$root"
mkdir -p "$root/app-9.9.9"
cp build/bin/BrindlewickSetup.exe "$root/updater.exe"
cp build/bin/stamp_app.exe "$root/app-9.9.9/brindlewick.exe"
printf '{\n  "installed": "9.9.9"\n}' >"$root/install.json"
