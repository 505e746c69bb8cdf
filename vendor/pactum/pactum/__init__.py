"""Argument checks by type spec strings.

``pact(**specs)`` returns a decorator. Each keyword names a parameter of the
decorated callable and gives the types it accepts, as a string of type names
separated by "|", for example ``"dict|None"`` or ``"str|int"``. Names are
looked up among the builtins; "None" stands for ``type(None)``. A call whose
argument does not match raises TypeError naming the parameter, the spec and
the type received.
"""

import builtins
import functools
import inspect

__all__ = ["pact"]


def _resolve(spec):
    types = []
    for name in spec.split("|"):
        name = name.strip()
        if name == "None":
            types.append(type(None))
            continue
        found = getattr(builtins, name, None)
        if not isinstance(found, type):
            raise ValueError("unknown type %r in spec %r" % (name, spec))
        types.append(found)
    return tuple(types)


def pact(**specs):
    checks = {name: (spec, _resolve(spec)) for name, spec in specs.items()}

    def decorate(function):
        signature = inspect.signature(function)
        unknown = set(checks) - set(signature.parameters)
        if unknown:
            raise TypeError("%s has no parameter %s"
                            % (function.__qualname__, ", ".join(sorted(unknown))))
        kinds = {name: signature.parameters[name].kind for name in checks}

        @functools.wraps(function)
        def checked(*args, **kwargs):
            bound = signature.bind(*args, **kwargs)
            for name, (spec, types) in checks.items():
                if name in bound.arguments:
                    value = bound.arguments[name]
                elif kinds[name] is inspect.Parameter.VAR_KEYWORD:
                    value = {}
                elif kinds[name] is inspect.Parameter.VAR_POSITIONAL:
                    value = ()
                else:
                    value = signature.parameters[name].default
                if not isinstance(value, types):
                    raise TypeError("%s(): argument %r must be %s, not %s"
                                    % (function.__name__, name, spec, type(value).__name__))
            return function(*args, **kwargs)

        return checked

    return decorate
