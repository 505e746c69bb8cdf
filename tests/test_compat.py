import errno
import os

import pytest

from pagewright.document import LatexDocument

pytestmark = pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")


class FailingDump(LatexDocument):
    def dump_stream(self, f):
        f.write("partial")
        raise ValueError("stop")


def test_an_error_of_close_goes_on_with_the_error_of_writing_as_its_context():
    # /dev/full takes the buffered text and refuses it when close() flushes.
    with pytest.raises(OSError) as caught:
        FailingDump().write_to_file("/dev/full")
    assert isinstance(caught.value.__context__, ValueError)
    assert caught.value.__context__.args == ("stop",)
    assert caught.value.__context__.__traceback__ is not None


def test_an_error_of_close_alone_propagates():
    with pytest.raises(OSError) as caught:
        LatexDocument().write_to_file("/dev/full")
    assert caught.value.errno == errno.ENOSPC
