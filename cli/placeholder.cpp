// Placeholder until the front end is built.
