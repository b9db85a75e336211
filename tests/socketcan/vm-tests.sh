#!/bin/sh
# Inside the SocketCAN VM (see run-vm-tests.sh): "CAN1:" is mapped to vcan0 for every program.
set -u
export RVCAN32CE_CAN1=vcan0
status=0
cd /extra/bin
./vm_port_test --gtest_brief=1 || status=1
./vm_console_test --gtest_brief=1 || status=1
echo "socketcan tests: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
