"""Services of the Amazon Rufus tooling (``browser`` drives Chrome over CDP)."""
