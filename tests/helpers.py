import io


class RecordingBuffer(io.StringIO):
    """A text buffer that also keeps each write as a separate item."""

    def __init__(self):
        super().__init__()
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return super().write(text)


def class_body(cls, dunders=()):
    """The names a class body binds, in order: the native attribute
    descriptors (class-level only) and dunder names left out, except the
    dunders named."""
    import inspect
    return [name for name, value in vars(cls).items()
            if (not name.startswith("__") or name in dunders)
            and not inspect.isgetsetdescriptor(value)]
