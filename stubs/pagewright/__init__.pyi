from . import compile_latex as compile_latex
from . import context as context
from . import document as document
from . import environment as environment
from . import envs as envs
from . import file_utils as file_utils
from . import frags as frags
from . import ifs as ifs
from . import structures as structures
from . import utils as utils
from .compile_latex import *
from .context import *
from .document import *
from .environment import *
from .envs import *
from .frags import *
from .ifs import *
from .structures import *
from .utils import *

# The two stand-in packages under vendor/ ship no type information.
from vantor_commons.logs import VLogger as VLogger  # type: ignore[import-untyped]

__version__: str
__date__: str
logger: VLogger
