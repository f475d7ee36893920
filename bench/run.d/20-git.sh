#!/usr/bin/env bash
# The git operations through the runner against the same git commands run directly, on a
# generated repository of 2000 files: the reports side by side (target: at most 5 % added),
# then a 200-commit replay (apply each diff, stage, commit) both ways.
# Needs OMVI_RUNNER (set by bench/run) and hyperfine.
set -euo pipefail
runner=${OMVI_RUNNER:?set OMVI_RUNNER to the runner binary}
work=$(mktemp -d "${TMPDIR:-/tmp}/omvi-bench-git-XXXXXX")
trap 'rm -rf "$work"' EXIT

# A private, deterministic git setup.
export HOME="$work/home" GIT_CONFIG_NOSYSTEM=1 LANG=C LC_ALL=C TZ=UTC
mkdir -p "$HOME"
git config --global init.defaultBranch main
git config --global user.name "Bench Agent"
git config --global user.email bench@omvi.invalid

# The repository: 40 directories of 50 files, a short history, 20 files changed but unstaged.
repo="$work/repo"
mkdir -p "$repo"
git -C "$repo" init -q
for d in $(seq -w 0 39); do
  mkdir -p "$repo/pkg$d"
  for f in $(seq -w 0 49); do
    printf 'package pkg%s\n\n// file %s of directory %s\nfunc f%s() int { return %s }\n' \
      "$d" "$f" "$d" "$f" "$f" > "$repo/pkg$d/file$f.go"
  done
done
git -C "$repo" add -A
git -C "$repo" commit -q -m "generated tree"
for i in $(seq 1 30); do
  printf '// touched %s\n' "$i" >> "$repo/pkg$(printf %02d $((i % 40)))/file00.go"
  git -C "$repo" commit -q -am "touch $i"
done
git -C "$repo" tag base
for i in $(seq -w 0 19); do printf '// unstaged edit\n' >> "$repo/pkg$i/file10.go"; done
echo "repository: $(git -C "$repo" ls-files | wc -l) files, $(git -C "$repo" rev-list --count HEAD) commits"

# Side by side, in one run: each report through the runner and the same git command directly,
# both started without a shell, git in the repository as the runner starts it. Measured
# alongside: the runner's own start ("--ping" against /bin/true), and git status under the
# least a wrapper process can do (spawn_floor: start, two pipes, drain, reap), which is what
# any tool between an agent and git pays before its own work.
request() { printf '{"op":"%s","workspace_root":"%s"}' "$1" "$repo"; }
floor=${OMVI_BUILD:?set OMVI_BUILD to the build directory}/bench/spawn_floor
cd "$repo"
hyperfine -N --warmup 5 --runs 80 --export-json "$work/reports.json" \
  -n "git status" "git status --porcelain=1 --branch" \
  -n "floor git status" "$floor /usr/bin/git status --porcelain=1 --branch" \
  -n "runner git_status" "$runner --json '$(request git_status)'" \
  -n "git diff" "git diff" \
  -n "runner git_diff" "$runner --json '$(request git_diff)'" \
  -n "git log" "git log --oneline -10" \
  -n "runner git_log" "$runner --json '$(request git_log)'" \
  -n "start /bin/true" "/bin/true" \
  -n "start runner --ping" "$runner --ping"
python3 - "$work/reports.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print("\nadded through the runner        mean              median            min")
pairs = [("git_" + op, "git " + op, "runner git_" + op) for op in ("status", "diff", "log")]
pairs.append(("process start", "start /bin/true", "start runner --ping"))
pairs.append(("floor: status", "git status", "floor git status"))
pairs.append(("beyond floor", "floor git status", "runner git_status"))
for name, direct, ours in pairs:
    cells = []
    for stat in ("mean", "median", "min"):
        a, b = results[direct][stat], results[ours][stat]
        cells.append(f"{(b - a) * 1000:+6.2f} ms {(b / a - 1) * 100:+5.0f} %")
    print(f"  {name:16}" + "  ".join(cells))
PY

# The replay: 200 commits made in a clone, replayed onto the base as diffs.
source="$work/source"
git clone -q "$repo" "$source"
git -C "$source" reset -q --hard base
for i in $(seq 1 200); do
  printf '// change %s\n' "$i" >> "$source/pkg$(printf %02d $((i * 7 % 40)))/file$(printf %02d $((i % 50))).go"
  if ((i % 10 == 0)); then printf 'new file %s\n' "$i" > "$source/notes-$i.txt"; fi
  git -C "$source" add -A
  git -C "$source" commit -q -m "change $i"
done
mkdir -p "$work/steps"
for i in $(seq 1 200); do
  git -C "$source" diff "HEAD~$((201 - i))" "HEAD~$((200 - i))" > "$work/steps/$i.diff"
  git -C "$source" diff --name-only "HEAD~$((201 - i))" "HEAD~$((200 - i))" > "$work/steps/$i.paths"
done
for way in runner git; do
  git clone -q "$repo" "$work/replay-$way"
  git -C "$work/replay-$way" reset -q --hard base
done
# Every request is written out beforehand, so both loops only start processes.
python3 - "$work/steps" "$work/replay-runner" <<'PY'
import json, pathlib, sys
steps, root = pathlib.Path(sys.argv[1]), sys.argv[2]
for i in range(1, 201):
    paths = (steps / f"{i}.paths").read_text().split()
    for name, request in (
        ("apply", {"op": "apply_diff", "diff": (steps / f"{i}.diff").read_text()}),
        ("stage", {"op": "git_stage", "paths": paths}),
        ("commit", {"op": "git_commit", "message": f"change {i}"}),
    ):
        request["workspace_root"] = root
        (steps / f"{i}.{name}.json").write_text(json.dumps(request))
PY
cat > "$work/replay-runner.sh" <<EOS
for i in \$(seq 1 200); do
  for step in apply stage commit; do "$runner" < "$work/steps/\$i.\$step.json" > /dev/null; done
done
EOS
cat > "$work/replay-git.sh" <<EOS
cd "$work/replay-git"
for i in \$(seq 1 200); do
  git apply "$work/steps/\$i.diff"
  git add -- \$(cat "$work/steps/\$i.paths")
  git commit -m "change \$i" > /dev/null
done
EOS
# The two replays alternate, round by round, so that a change in the machine's load between
# them cannot favour either; each round starts both from the base again.
seconds() {
  local start=${EPOCHREALTIME/./} micros
  bash "$1"
  micros=$((${EPOCHREALTIME/./} - start))
  printf '%d.%06d' $((micros / 1000000)) $((micros % 1000000))
}
printf '\nreplay of 200 commits (apply, stage, commit), seconds per round:\n'
rounds=()
for round in 1 2 3; do
  for way in runner git; do git -C "$work/replay-$way" reset -q --hard base && git -C "$work/replay-$way" clean -qfdx; done
  ours=$(seconds "$work/replay-runner.sh")
  direct=$(seconds "$work/replay-git.sh")
  printf '  round %s: through the runner %6.2f, git directly %6.2f\n' "$round" "$ours" "$direct"
  rounds+=("$ours $direct")
done
test "$(git -C "$work/replay-runner" rev-list --count base..HEAD)" = 200
test "$(git -C "$work/replay-runner" rev-parse 'HEAD^{tree}')" = "$(git -C "$source" rev-parse 'HEAD^{tree}')"
printf '%s\n' "${rounds[@]}" | python3 -c '
import statistics, sys
pairs = [tuple(map(float, line.split())) for line in sys.stdin]
ours, direct = (statistics.median(p[i] for p in pairs) for i in (0, 1))
print(f"  median: {(ours / direct - 1) * 100:+.1f} % ({(ours - direct) / 600 * 1000:+.2f} ms per request)")'
