#The worker tests start the update worker; the race tests start child processes.
list(APPEND test_labels threads)
