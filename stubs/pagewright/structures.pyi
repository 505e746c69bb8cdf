class BadTex(Exception):
    """pdflatex failed on a file: the message names the file's base name, the notes the log's first error."""
