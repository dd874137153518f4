"""Native core of the Orvane engineering digital-twin platform."""
