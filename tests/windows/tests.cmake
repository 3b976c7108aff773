add_test(NAME placeholder COMMAND true)
