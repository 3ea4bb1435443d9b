"""A company's code: versioned packages live deep inside it (``company.rates.*``)."""
