-- qc.db keeps quality-control runs; dbupdate only opens it.
create table qc(id integer primary key, lot text, item text, date date, result real);
insert into qc values(1, 'L2026A', 'PT', '2026-12-01', 12.1);
