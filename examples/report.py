"""Prints a LaTeX fragment built with pagewright's text utilities."""

import io

import pagewright


def main():
    stream = io.StringIO()
    with pagewright.begin_end(stream, "center"):
        stream.write(pagewright.latex_escape("Totals for {north_east}: 50% up, cost $3\n"))
    print(stream.getvalue(), end="")


if __name__ == "__main__":
    main()
