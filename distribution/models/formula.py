"""Models from formulas on a DataFrame, through formulaic: the response
columns on the left of "~", the design of the terms on the right."""


def model_matrix(terms, data):
    try:
        from formulaic import model_matrix as build
    except ImportError as err:
        raise ImportError("from_formula needs formulaic: pip install formulaic") from err
    return build(terms, data)


def parse_formula(formula, data, sides):
    """The response columns (1 to as many as `sides` names) and the design
    of a formula "a [+ b] ~ terms"."""
    form = " + ".join(sides)
    if not isinstance(formula, str) or formula.count("~") != 1:
        raise ValueError(f"formula must read '{form} ~ terms', got {formula!r}")
    lhs, rhs = (part.strip() for part in formula.split("~"))
    columns = [c.strip() for c in lhs.split("+")] if lhs else []
    if not 1 <= len(columns) <= len(sides):
        raise ValueError(f"formula must read '{form} ~ terms', got {formula!r}")
    for c in columns:
        if c not in data:
            raise ValueError(f"the response {c!r} is not a column of data")
    return [data[c] for c in columns], model_matrix(rhs, data)


def side_design(name, formula, data):
    """The design of a one-sided formula "~ terms" (the argument `name`), or
    None for none."""
    if formula is None:
        return None
    if not (isinstance(formula, str) and formula.strip().startswith("~")):
        raise ValueError(f"{name} must read '~ terms', got {formula!r}")
    return model_matrix(formula.strip()[1:], data)
