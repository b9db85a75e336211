#!/bin/sh
# Inside the SocketCAN VM (see run-vm-tests.sh): "CAN1:" is mapped to vcan0 for the vcan tests, then to
# can0, one of two emulated CAN controllers (can0, can1) on one bus, for the controller tests; those
# named Unprivileged* run as an ordinary user without capabilities, with both controllers up at
# 500 kbit/s.
set -u
status=0
cd /extra/bin
export RVCAN32CE_CAN1=vcan0
./vm_port_test --gtest_brief=1 || status=1
./vm_console_test --gtest_brief=1 || status=1
./vm_tools_test --gtest_brief=1 || status=1
./vm_serve_test --gtest_brief=1 || status=1
sh /extra/vm-slcan-tests.sh || status=1
export RVCAN32CE_CAN1=can0
./vm_controller_test --gtest_brief=1 --gtest_filter='-Unprivileged*' || status=1
for controller in can0 can1; do
    ip link set $controller down
    ip link set $controller type can bitrate 500000
    ip link set $controller up
done
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    ./vm_controller_test --gtest_brief=1 --gtest_filter='Unprivileged*' || status=1
echo "socketcan tests: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
