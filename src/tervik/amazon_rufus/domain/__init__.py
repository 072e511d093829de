"""Domain records and errors of the Amazon Rufus tooling."""
