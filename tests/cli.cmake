# The command line and the conversation between two copies of the program.
kaveltor_add_test(tst_command_line SOURCES tst_command_line.cpp LIBS kaveltor_app)
kaveltor_add_test(tst_instance_protocol SOURCES tst_instance_protocol.cpp LIBS kaveltor_app)
