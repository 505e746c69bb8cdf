import io


class RecordingBuffer(io.StringIO):
    """A text buffer that also keeps each write as a separate item."""

    def __init__(self):
        super().__init__()
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return super().write(text)
