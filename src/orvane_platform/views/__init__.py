"""Views of a product: KPI charts and the HTML report."""
