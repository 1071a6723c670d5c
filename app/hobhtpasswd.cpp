// hob-htpasswd.cgi: sets up HTTP Basic authentication for a directory.
int main() { return 0; }
