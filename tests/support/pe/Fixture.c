/* Test fixture: the code of the small PE images that carry (or lack) a version resource. */
int zep_fixture_marker(void) {
    return 1;
}
