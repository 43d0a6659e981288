// Placeholder entry point until the server program lands.
int main() { return 0; }
