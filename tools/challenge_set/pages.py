"""The course server's pages, from tools/challenge_set/templates (read
once, on start), every field escaped here. The setter's picture of the
class is drawn here too, as inline SVG: the pages load nothing from
elsewhere, and their policy lets nothing run."""

import html
import string
from pathlib import Path

TEMPLATES = Path(__file__).resolve().parent / "templates"
PAGES = {path.name: string.Template(path.read_text(encoding="utf-8"))
         for path in TEMPLATES.glob("*.html")}
STYLE = (TEMPLATES / "style.css").read_bytes()
CHART_WIDTH, CHART_HEIGHT, MARGIN = 560, 150, 32


def template(name, **fields):
    return PAGES[name].substitute(fields)


def page(title, body, refresh=""):
    return template("page.html", title=html.escape(title), body=body, refresh=refresh).encode()


NOT_FOUND = page("Not found", template("not-found.html"))


def shown_time(moment):
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC") if moment else ""


def learner_page(set_name, code, link, packages, csrf, limit, window):
    """`packages`: (file name, SHA-256) of each of the learner's packages."""
    rows = "".join(
        f'<tr><td><a href="{link}/p/{html.escape(name)}" download>{html.escape(name)}</a></td>'
        f'<td><code>{html.escape(digest)}</code> (<a href="{link}/p/{html.escape(name)}.sha256" '
        f'download>.sha256</a>)</td></tr>\n' for name, digest in packages)
    body = template("learner.html", set=html.escape(set_name), code=html.escape(code or ""),
                    packages=rows, action=f"{link}/answer", csrf=csrf, limit=limit,
                    window=window)
    return page("login-challenge: your copy", body)


def verdict_page(right, moment, back):
    verdict = "Correct" if right else "Try Again"
    explanation = ("Your program answers \"Correct\" to these: you have solved it." if right
                   else "Your program would answer \"Try Again\" to these.")
    return page(verdict, template(
        "verdict.html", kind="correct" if right else "wrong", verdict=verdict,
        explanation=html.escape(explanation), time=moment.strftime("%Y-%m-%d %H:%M:%S"),
        back=back))


def limited_page(limit, window, after, back):
    return page("Not yet", template("limited.html", limit=limit, window=window,
                                    after=after.strftime("%H:%M:%S"), back=back))


def refused_page():
    return page("Refused", "<p>Hand in your answer from your own page.</p>")


def setter_page(set_name, summary, report, results, progress, started, moment, limit):
    rows = "".join(
        f"<tr><td>{html.escape(learner)}</td>"
        f"<td>{html.escape(shown_time(progress.downloaded.get(learner)) or 'no')}</td>"
        f"<td>{progress.attempts.get(learner, 0)}</td>"
        f"<td>{html.escape(shown_time(progress.solved.get(learner)) or 'no')}</td>"
        f"<td>{html.escape(detail)}</td></tr>\n"
        for learner, (_, detail) in results.items())
    solved = sorted(progress.solved.values())
    counts = [progress.attempts.get(learner, 0) for learner in results]
    body = template("setter.html", set=html.escape(set_name), summary=html.escape(summary),
                    report=report, rows=rows,
                    solved_chart=solved_chart(solved, len(results), started, moment),
                    answers_chart=answers_chart(counts, limit))
    return page("login-challenge: the class", body,
                refresh='<meta http-equiv="refresh" content="30">\n')


def svg(label, shapes):
    return (f'<svg xmlns="http://www.w3.org/2000/svg" role="img" aria-label="{html.escape(label)}"'
            f' viewBox="0 0 {CHART_WIDTH + 2 * MARGIN} {CHART_HEIGHT + 2 * MARGIN}" '
            f'width="100%" font-family="sans-serif" font-size="11">\n'
            f'<title>{html.escape(label)}</title>\n{shapes}</svg>')


def axes(left_label, bottom_left, bottom_right):
    x0, y0 = MARGIN, MARGIN + CHART_HEIGHT
    return (f'<path d="M{x0} {MARGIN}V{y0}H{x0 + CHART_WIDTH}" fill="none" stroke="#555"/>\n'
            f'<text x="{x0}" y="{MARGIN - 8}">{html.escape(left_label)}</text>\n'
            f'<text x="{x0}" y="{y0 + 16}">{html.escape(bottom_left)}</text>\n'
            f'<text x="{x0 + CHART_WIDTH}" y="{y0 + 16}" text-anchor="end">'
            f'{html.escape(bottom_right)}</text>\n')


def solved_chart(solved, learners, started, moment):
    """How many had solved it, over time: a step for each first solve."""
    start = min([started] + solved[:1])
    span = max(1.0, (moment - start).total_seconds())
    top = max(1, learners)

    def point(when, count):
        x = MARGIN + CHART_WIDTH * (when - start).total_seconds() / span
        return f"{x:.1f} {MARGIN + CHART_HEIGHT * (1 - count / top):.1f}"
    steps = [f"M{point(start, 0)}"]
    for count, when in enumerate(solved, start=1):
        steps += [f"L{point(when, count - 1)}", f"L{point(when, count)}"]
    steps.append(f"L{point(moment, len(solved))}")
    shapes = axes(f"solved: {len(solved)} of {learners}", shown_time(start), shown_time(moment))
    shapes += f'<path id="solved-line" d="{" ".join(steps)}" fill="none" stroke="#176b2c" ' \
              'stroke-width="2"/>\n'
    return svg(f"Solved over time: {len(solved)} of {learners} learners", shapes)


def answers_chart(counts, limit):
    """How many learners handed in 0, 1, ... answers (the last bar: more)."""
    bars = [0] * (limit + 2)
    for count in counts:
        bars[min(count, limit + 1)] += 1
    top, width = max(1, max(bars)), CHART_WIDTH / len(bars)
    shapes = axes(f"learners (most: {max(bars)})", "", "")
    for number, height in enumerate(bars):
        tall = CHART_HEIGHT * height / top
        shapes += (f'<text x="{MARGIN + (number + 0.5) * width:.1f}" '
                   f'y="{MARGIN + CHART_HEIGHT + 16}" text-anchor="middle">'
                   f'{number if number <= limit else f"{limit + 1}+"}</text>\n')
        shapes += (f'<rect x="{MARGIN + number * width + 2:.1f}" '
                   f'y="{MARGIN + CHART_HEIGHT - tall:.1f}" width="{width - 4:.1f}" '
                   f'height="{tall:.1f}" fill="#4a6fa5"><title>{height} learner(s) with '
                   f'{number if number <= limit else f"more than {limit}"} answer(s)</title>'
                   '</rect>\n')
    return svg("Answers handed in per learner", shapes)
