"""The report of bench_defaults.py: one table per dataset, a summary per vorlent candidate
against the goals, the deep-tree check and a plot of test loss against fit time.

Goals of a default set: test loss no worse than the best peer's on at least six of the
eight tables, fit time at most 3x LightGBM's on every table and at most 1.5x in the median.
Times are compared in CPU seconds (the machine is shared and its load changes between
fits, which sways wall time more than CPU time); wall ratios are shown beside them.
"""

from __future__ import annotations

import pathlib
import statistics

PEERS = ["LightGBM", "XGBoost", "sklearn HistGB"]
WINS_NEEDED = 6
MAX_RATIO, MEDIAN_RATIO = 3.0, 1.5
OLD = "vorlent old"


def best_run(entry: dict) -> dict:
    """The run with the fewest CPU seconds (all runs of a cell give the same loss)."""
    return min(entry["runs"], key=lambda r: r["fit_cpu_seconds"])


def main_policy(results: dict) -> str:
    """The OMP_WAIT_POLICY the run compares systems under: PASSIVE when any fit used it
    (a PASSIVE run may hold LightGBM spin checks besides), else each runtime's own ("")."""
    policies = {f.get("wait", "PASSIVE") for f in results["fits"]}
    return "PASSIVE" if "PASSIVE" in policies else ""


def cells(results: dict) -> dict:
    """(table, system) -> best run, fits under the run's main wait policy only."""
    policy = main_policy(results)
    return {
        (f["table"], f["system"]): best_run(f)
        for f in results["fits"]
        if f.get("wait", "PASSIVE") == policy
    }


def summary(results: dict) -> list[dict]:
    """Per vorlent candidate: tables where it matches the best peer, and its time ratios to
    LightGBM, over the tables where every peer and the candidate were measured."""
    got = cells(results)
    tables = [t for t in results["tables"] if all((t, p) in got for p in PEERS)]
    systems = sorted({s for (_, s) in got if s not in PEERS})
    out = []
    for system in systems:
        done = [t for t in tables if (t, system) in got]
        if not done:
            continue
        wins, cpu, wall, losses = [], [], [], []
        for t in done:
            mine = got[(t, system)]
            best_peer = min(got[(t, p)]["test_loss"] for p in PEERS)
            lgb = got[(t, "LightGBM")]
            wins.append(mine["test_loss"] <= best_peer)
            losses.append(mine["test_loss"] / best_peer)
            cpu.append(mine["fit_cpu_seconds"] / lgb["fit_cpu_seconds"])
            wall.append(mine["fit_seconds"] / lgb["fit_seconds"])
        out.append(
            {
                "system": system,
                "tables": len(done),
                "wins": sum(wins),
                "loss_ratio_median": statistics.median(losses),
                "loss_ratio_max": max(losses),
                "cpu_max": max(cpu),
                "cpu_median": statistics.median(cpu),
                "wall_max": max(wall),
                "wall_median": statistics.median(wall),
                "meets": sum(wins) >= WINS_NEEDED
                and max(cpu) <= MAX_RATIO
                and statistics.median(cpu) <= MEDIAN_RATIO,
            }
        )
    return out


def text(results: dict, default: str | None) -> str:
    got = cells(results)
    lines = [
        "| table | rows x columns | task | categorical columns | package |",
        "|---|---|---|---|---|",
    ]
    for key, t in results["tables"].items():
        task = t["task"] if t["task"] != "multiclass" else f"{t['classes']} classes"
        lines.append(
            f"| {key} | {t['rows']:,} x {t['columns']} (train {t['train']:,}) | {task} | "
            f"{', '.join(t['categorical']) or '-'} | {t['package']} |"
        )
    lines += [""]
    for key in results["tables"]:
        rows = [(s, r) for (t, s), r in got.items() if t == key]
        if not rows:
            continue
        lgb = got.get((key, "LightGBM"))
        best_peer = min(
            (got[(key, p)]["test_loss"] for p in PEERS if (key, p) in got), default=None
        )
        lines += [
            f"**{key}**",
            "",
            (
                "| system | rounds | fit s | fit CPU s | CPU vs LightGBM | wall vs LightGBM | "
                "load | test loss | vs best peer |"
            ),
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for system, r in sorted(rows, key=lambda x: (x[0] not in PEERS, x[0])):
            mark = "**" if system == default else ""
            cpu = f"{r['fit_cpu_seconds'] / lgb['fit_cpu_seconds']:.2f}x" if lgb else "-"
            wall = f"{r['fit_seconds'] / lgb['fit_seconds']:.2f}x" if lgb else "-"
            vs = f"{r['test_loss'] / best_peer:.4f}" if best_peer else "-"
            lines.append(
                f"| {mark}{system}{mark} | {r['rounds']} | {r['fit_seconds']:.2f} | "
                f"{r['fit_cpu_seconds']:.2f} | {cpu} | {wall} | {r['load']:.1f} | "
                f"{r['test_loss']:.5g} | {vs} |"
            )
        lines.append("")
    spins = [f for f in results["fits"] if f.get("wait", "PASSIVE") != main_policy(results)]
    if spins:
        lines += [
            "LightGBM with OpenMP's default wait policy (spinning workers) against PASSIVE:",
            "",
            "| table | default policy fit s / CPU s (load) | PASSIVE fit s / CPU s (load) |",
            "|---|---|---|",
        ]
        for f in spins:
            r, p = best_run(f), got.get((f["table"], "LightGBM"))
            passive = (
                f"{p['fit_seconds']:.2f} / {p['fit_cpu_seconds']:.2f} ({p['load']:.1f})"
                if p
                else "-"
            )
            lines.append(
                f"| {f['table']} | {r['fit_seconds']:.2f} / {r['fit_cpu_seconds']:.2f} "
                f"({r['load']:.1f}) | {passive} |"
            )
        lines.append("")
    lines += [
        (
            "| vorlent set | tables | no worse than the best peer | loss / best peer (median, "
            "worst) | CPU vs LightGBM (median, worst) | wall vs LightGBM (median, worst) | "
            "goals met |"
        ),
        "|---|---|---|---|---|---|---|",
    ]
    for s in summary(results):
        mark = "**" if s["system"] == default else ""
        lines.append(
            f"| {mark}{s['system']}{mark} | {s['tables']} | {s['wins']} | "
            f"{s['loss_ratio_median']:.4f}, {s['loss_ratio_max']:.4f} | "
            f"{s['cpu_median']:.2f}x, {s['cpu_max']:.2f}x | "
            f"{s['wall_median']:.2f}x, {s['wall_max']:.2f}x | {'yes' if s['meets'] else 'no'} |"
        )
    if results.get("deep"):
        lines += [
            "",
            (
                "| table | depth | CPU s per tree | split nodes per tree | CPU ms per split node "
                "| oblique or category-pair share | test loss | load |"
            ),
            "|---|---|---|---|---|---|---|---|",
        ]
        for d in sorted(results["deep"], key=lambda d: (d["table"], d["depth"])):
            per_tree = d["fit_cpu_seconds"] / d["rounds"]
            nodes = d["split_nodes"] / d["rounds"]
            lines.append(
                f"| {d['table']} | {d['depth']} | {per_tree:.3f} | {nodes:.1f} | "
                f"{1000 * per_tree / max(nodes, 1e-9):.2f} | "
                f"{d['oblique_nodes'] / max(d['split_nodes'], 1):.2f} | {d['test_loss']:.5g} | "
                f"{d['load']:.1f} |"
            )
    return "\n".join(lines)


def plot(results: dict, default: str | None, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, NullFormatter

    got = cells(results)
    tables = [t for t in results["tables"] if any(k[0] == t for k in got)]
    if not tables:
        return
    columns = 4
    rows = (len(tables) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.6 * rows), squeeze=False)
    styles = {
        "LightGBM": ("tab:green", "s"),
        "XGBoost": ("tab:orange", "^"),
        "sklearn HistGB": ("tab:purple", "D"),
    }
    for ax, key in zip(axes.flat, tables):
        for (t, system), r in got.items():
            if t != key:
                continue
            if system in styles:
                color, marker, size, label = *styles[system], 60, system
            elif system == default:
                color, marker, size, label = "tab:red", "*", 160, f"{system} (new default)"
            elif system == OLD:
                color, marker, size, label = "black", "x", 50, f"{system} (previous defaults)"
            else:
                color, marker, size, label = "tab:blue", "o", 18, "vorlent candidates"
            ax.scatter(
                r["fit_cpu_seconds"],
                r["test_loss"],
                c=color,
                marker=marker,
                s=size,
                label=label,
                alpha=0.85,
                zorder=3 if system in styles else 2,
            )
        peers = [got[(key, p)] for p in PEERS if (key, p) in got]
        if peers:
            ax.axhline(min(r["test_loss"] for r in peers), color="grey", lw=0.8, ls=":")
        if (key, "LightGBM") in got:
            budget = MAX_RATIO * got[(key, "LightGBM")]["fit_cpu_seconds"]
            ax.axvline(budget, color="grey", lw=0.8, ls="--")
        t = results["tables"][key]
        ax.set_title(f"{key} ({t['rows']:,} x {t['columns']})", fontsize=10)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel("fit CPU seconds (2 threads)", fontsize=8)
        ax.set_ylabel("RMSE" if t["task"] == "regression" else "log-loss", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    for ax in list(axes.flat)[len(tables) :]:
        ax.axis("off")
    handles = {}
    for ax in axes.flat:
        for h, label in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(label, h)
    figure.legend(list(handles.values()), list(handles), loc="lower center", ncol=5, fontsize=8)
    figure.suptitle(
        "Test loss against fit CPU seconds, each system with its defaults (dotted: best peer's "
        "loss; dashed: 3x LightGBM's CPU seconds)",
        fontsize=11,
    )
    figure.tight_layout(rect=(0, 0.05, 1, 0.97))
    figure.savefig(path, dpi=90)
    plt.close(figure)


def report(results: dict, default: str | None, figure: pathlib.Path) -> None:
    print()
    print(text(results, default))
    try:
        plot(results, default, figure)
        print(f"\nwrote {figure}")
    except ImportError:
        print("\nmatplotlib is not installed: no plot")
