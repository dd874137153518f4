"""`orvane plot` and `orvane report`: KPI charts, and the HTML report of a product."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from rich.markup import escape

from orvane_platform.cli.arguments import OK, add_json, add_product, fail
from orvane_platform.cli.printing import console, emit, print_json


def _show_design_chart(written: dict[str, Any], *, kpi: str, parameter: str) -> None:
    console.print(
        f"Chart of {escape(kpi)} against {escape(parameter)} over {written['points']} "
        f"runs written to {escape(str(written['path']))}"
    )


def _plot_against(args: argparse.Namespace) -> int:
    from orvane_platform.views import charts

    if not args.kpis or len(args.kpis) != 1:
        fail("argument --against: name one KPI with --kpi")
    if not args.output:
        fail("argument --against: give the chart's file with -o FILE.png or FILE.svg")
    written = charts.design_chart(args.product, args.kpis[0], args.against, args.output)
    emit(args, written, _show_design_chart, kpi=args.kpis[0], parameter=args.against)
    return OK


def _show_kpi_chart(written: dict[str, Any]) -> None:
    console.print(f"Chart of {', '.join(written['points'])} written to {escape(str(written['path']))}")


def _plot(args: argparse.Namespace) -> int:
    from orvane_platform.views import charts

    if args.against:
        return _plot_against(args)
    kpis = args.kpis or charts.charted_kpis(args.product)
    if not kpis:
        fail(f"{args.product} has no results in its history to plot (orvane run adds some)")
    if args.output and len(kpis) > charts.MAX_KPIS:
        fail(f"a chart file shows at most {charts.MAX_KPIS} KPIs, not {len(kpis)}: choose them with --kpi")
    if args.output:
        emit(args, charts.kpi_chart(args.product, kpis, args.output), _show_kpi_chart)
    elif args.json:  # the chart's points: the terminal's picture is drawn apart from them
        print_json(charts.kpi_series(args.product, kpis))
    else:
        print(charts.kpi_terminal(args.product, kpis, color=sys.stdout.isatty()))
    return OK


def _show_report(written: dict[str, Any]) -> None:
    console.print(
        f"Report of {escape(written['product'])} written to {escape(str(written['path']))}: "
        f"{len(written['kpis'])} KPI charts, {len(written['releases'])} releases, "
        f"latest run {written['provenance'] or 'none'}"
    )


def _report(args: argparse.Namespace) -> int:
    from orvane_platform.views import report

    output = args.output or f"{args.product.parent.name}-report.html"
    emit(args, report.write_report(args.product, output), _show_report)
    return OK


def register(commands: argparse._SubParsersAction) -> None:
    plot = commands.add_parser(
        "plot",
        help="draw KPIs over time with their target band and the releases",
        description="Draw each KPI's results over time with its target band (min to max), its "
        "nominal and a line at every release: in the terminal, or to a PNG or SVG file.",
    )
    add_product(plot)
    plot.add_argument(
        "--kpi",
        dest="kpis",
        action="append",
        metavar="NAME",
        help="a KPI to draw; repeat for more (default: every KPI with results)",
    )
    plot.add_argument(
        "--against",
        metavar="PARAM",
        help="draw the --kpi against this design value over the product's runs (a sweep's cases)",
    )
    plot.add_argument("-o", "--output", metavar="FILE", help="write FILE.png or FILE.svg instead")
    add_json(plot)
    plot.set_defaults(func=_plot)

    report = commands.add_parser(
        "report",
        help="write a self-contained HTML report of a product",
        description="One HTML file that opens offline in any browser: design parameters, gates, "
        "KPI trends, releases and their differences, the latest run's provenance, competitors.",
    )
    add_product(report)
    report.add_argument(
        "-o", "--output", metavar="FILE.html", help="where to write it (default: <product>-report.html here)"
    )
    add_json(report)
    report.set_defaults(func=_report)
