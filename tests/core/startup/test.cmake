# Several threads make the first request at once.
list(APPEND test_labels threads)
