// Placeholder until the front end is built.
int main(int, char **)
{
    return 0;
}
