"""Amazon Rufus tooling: browser attach service and its domain types."""
